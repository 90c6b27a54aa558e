#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into tests/fuzz/corpus/.
The regression inputs (named regression-*) are earlier findings."""
import os
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')


def write(target, name, data):
    os.makedirs(os.path.join(here, target), exist_ok=True)
    with open(os.path.join(here, target, name), 'wb') as f:
        f.write(data)


# fuzz_rxrecord: 64-byte DMA blocks.
def block(ctrl, sidh, sidl, eid8, eid0, dlc, data, channel_bit=0):
    b = bytearray(64)
    b[0] = channel_bit << 1
    b[4:10] = bytes([ctrl, sidh, sidl, eid8, eid0, dlc])
    b[10:10 + len(data)] = data
    return bytes(b)


write('rxrecord', 'test-frame', block(0, 0x15, 0x68, 0x00, 0xBA, 4, struct.pack('<I', 41)))
write('rxrecord', 'remote-standard', block(0x08, 0x24, 0x60, 0, 0, 0x40, b'', 1))
write('rxrecord', 'dlc-15', block(0, 0xFF, 0xEB, 0xFF, 0xFF, 0x0F, bytes(range(1, 9))))

# fuzz_driver: requests (code index, input, output size, time to let pass).
READ_REG, WRITE_REG, READ_MEM, WRITE_MEM, CLEAR_DMA, CANONICAL, READ_DMA = range(7)


def request(code, payload=b'', out=0, wait=1):
    return bytes([code, len(payload)]) + payload + struct.pack('<H', out) + bytes([wait])


def can_write(channel, address, value):
    data = 0x2000 if channel == 1 else 0x2010
    bridge = 0x1044 if channel == 1 else 0x1054
    return (request(WRITE_MEM, struct.pack('<III', 0, data, 1) + bytes([value])) +
            request(WRITE_REG, struct.pack('<II', bridge, (address << 24) | 0x02)))


seq = b''
for channel in (1, 2):
    for address, value in ((0x0F, 0x80), (0x28, 0x05), (0x29, 0xB1), (0x2A, 0x04), (0x0F, 0x00),
                           (0x0C, 0x0F), (0x60, 0x60)):
        seq += can_write(channel, address, value)
seq += request(WRITE_REG, struct.pack('<II', 0x1000, 1))
for address, value in ((0x31, 0x15), (0x32, 0x68), (0x33, 0x00), (0x34, 0xBA), (0x35, 4),
                       (0x36, 41), (0x30, 0x08)):
    seq += can_write(1, address, value)
seq = seq[:-1] + bytes([255])
seq += request(READ_DMA, struct.pack('<II', 1, 2), 64)
write('driver', 'send-one-frame', seq)
write('driver', 'unknown-code', bytes([7]) + struct.pack('<I', 0xA4602428) + request(READ_REG)[1:])
# A memory read of no bytes with no output buffer at all.
write('driver', 'regression-null-output', request(READ_MEM, struct.pack('<III', 0, 0x2000, 0), 0))

# fuzz_settings: NAME=VALUE lines without the KORVANE_EMU_ prefix.
write('settings', 'all-valid', b'\n'.join([
    b'NO_BOARD=0', b'LATENCY_US=5', b'FAIL_CODE=0xA4602420', b'FAIL_NTH=1000', b'STUCK_BUSY=2',
    b'IGNORE_MODE=0', b'CUT=1', b'FOREIGN=2:0x123:10:DEAD:5:250', b'DMA_QUEUE=16']))
write('settings', 'foreign-forever', b'FOREIGN=1:0x7FF:1:0011223344556677')
for i, line in enumerate([b'LATENCY_US=99999999999999999', b'LATENCY_US=9223372036854775',
                          b'FOREIGN=2:0x123:99999999999999', b'FOREIGN=2:0x123:1:ZZ:5',
                          b'DMA_QUEUE=-1', b'FAIL_NTH=-5']):
    write('settings', 'regression-%d' % (i + 1), line)

# fuzz_socketcand: a piece size byte, then what a client sends.
write('socketcand', 'session', bytes([7]) + b'< open can0 >< rawmode >< send 123 2 11 22 >'
      b'< send 1ABCDEF0 8 1 2 3 4 5 6 7 8 >< echo >')
write('socketcand', 'refusals', bytes([63]) + b'junk < send 800 1 00 >< send 12 9 >< open >'
      b'< \x01\xff >' + b'<' + b'x' * 300 + b'>< nested < echo >')
