/* The board driver's interface as the host sees it: the device control
 * codes of \\.\CANn (device type 0xA460, buffered). Plain C, so that every
 * side of the interface includes the same definitions. */
#ifndef BOARDINTERFACE_H
#define BOARDINTERFACE_H

#define IOCTL_CAN_READ_REG 0xA46025F8u
#define IOCTL_CAN_WRITE_REG 0xA46025F4u
#define IOCTL_CAN_READ_MEM 0xA4606550u
#define IOCTL_CAN_WRITE_MEM 0xA460A554u
#define IOCTL_CAN_CLEAR_DMA 0xA460254Cu
#define IOCTL_CAN_SET_CANONICAL_DMA 0xA4602424u
#define IOCTL_CAN_READ_DMA_BLOCKS 0xA4602420u

#endif
