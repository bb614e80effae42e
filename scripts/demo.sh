#!/usr/bin/env bash
# Builds zorfw (and the window application, to try with --simulate
# afterwards) and runs the main job against simulated devices: check the
# sample images, list the USB devices attached, then show, update and show
# again a simulated ColdFire device and a simulated ESP device (LUM2) on the
# network, then the same on USB: a ColdFire device on HID, an ESP device and a
# ColdFire device on virtual COM ports. A sim: device lives inside the zorfw
# process, so the version after the update is the one `zorfw update` reads
# back from the device when it has finished, as the window does.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target zorfw zor_samples
if ninja -C build -t targets all 2>/dev/null | grep -q '^Zor_FirmwareUpload:'; then
  cmake --build build --target Zor_FirmwareUpload
fi
zorfw=build/cli/zorfw
samples=build/samples

for f in "$samples"/*; do
  echo "== zorfw check $f"
  "$zorfw" check "$f"
done

# Real devices only: a simulated one lives inside the zorfw run that made it.
echo "== zorfw list"
"$zorfw" list || echo "== zorfw list ended with status $? (no USB device tree on this machine?)"

# The ColdFire device runs firmware 60 and reports 62 once the V62 image is in.
coldfire=(sim:coldfire --sim-firmware 60 --sim-update-firmware 62 --sim-serial 0x1001)
echo "== zorfw info ${coldfire[*]}"
"$zorfw" info "${coldfire[@]}"
echo "== zorfw update ${coldfire[*]} $samples/LUM_SU6_Firmware_V62.s19"
"$zorfw" update "${coldfire[@]}" "$samples/LUM_SU6_Firmware_V62.s19"

esp=(sim:esp --sim-firmware 113 --sim-update-firmware 114 --sim-serial 0x2001)
echo "== zorfw info ${esp[*]}"
"$zorfw" info "${esp[@]}"
echo "== zorfw update ${esp[*]} $samples/LUM2_Firmware_V114.bin"
"$zorfw" update "${esp[@]}" "$samples/LUM2_Firmware_V114.bin"
echo "== zorfw update --json ${esp[*]} $samples/LUM2_Firmware_V114_Blow.bin (result line)"
"$zorfw" update --json "${esp[@]}" "$samples/LUM2_Firmware_V114_Blow.bin" | tail -n 1
# The same ColdFire update over USB: the device restarts after programming,
# leaves the bus and comes back; zorfw finds it again by its serial number.
usb=(sim:coldfire-usb --sim-firmware 60 --sim-update-firmware 62 --sim-serial 0x1002)
echo "== zorfw info ${usb[*]}"
"$zorfw" info "${usb[@]}"
echo "== zorfw update ${usb[*]} $samples/LUM_SU6_Firmware_V62.s19"
"$zorfw" update "${usb[@]}" "$samples/LUM_SU6_Firmware_V62.s19"
# ESP and ColdFire devices on virtual COM ports (USB serial): the ESP device
# restarts into its new partition and is found again by its serial number.
espusb=(sim:esp-usb --sim-firmware 113 --sim-update-firmware 114 --sim-serial 0x2002)
echo "== zorfw info ${espusb[*]}"
"$zorfw" info "${espusb[@]}"
echo "== zorfw update ${espusb[*]} $samples/LUM2_Firmware_V114.bin"
"$zorfw" update "${espusb[@]}" "$samples/LUM2_Firmware_V114.bin"
cdc=(sim:coldfire-cdc --sim-firmware 60 --sim-update-firmware 62 --sim-serial 0x1003)
echo "== zorfw update ${cdc[*]} $samples/LUM_SU6_Firmware_V62.s19"
"$zorfw" update "${cdc[@]}" "$samples/LUM_SU6_Firmware_V62.s19"
echo "== demo finished: all five devices updated"
if [ -x build/app/Zor_FirmwareUpload ]; then
  echo "== the window application with simulated devices: build/app/Zor_FirmwareUpload --simulate"
fi
