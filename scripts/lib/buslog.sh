# Sourced by the scripts that check what went over the emulated bus.
#
# bus_groups LOG BUS: "WHOLE FRAMES" for BUS (can0 carries what channel 1
# sends, can1 what channel 2 sends) in the bus log LOG: WHOLE the whole test
# groups (four numbers in any order, then their sum, identifier 0x02AC00BA),
# FRAMES every frame with that identifier. A group cut short, or a stray
# frame, is passed over and the count goes on after it; so is a last line
# that the driver is still writing.
bus_groups() {
    python3 - "$1" "$2" <<'EOF'
import sys
path, bus = sys.argv[1], sys.argv[2]
values = []
with open(path) as log:
    for line in log:
        parts = line.split()
        if not line.endswith('\n'):
            break
        if len(parts) == 3 and parts[1] == bus and parts[2].startswith('02AC00BA#'):
            values.append(int.from_bytes(bytes.fromhex(parts[2].split('#')[1]), 'little'))
whole, i = 0, 0
while i + 5 <= len(values):
    if sorted(values[i:i + 4]) == [41, 1930, 6334, 18467] and values[i + 4] == 26772:
        whole, i = whole + 1, i + 5
    else:
        i += 1
print(whole, len(values))
EOF
}
