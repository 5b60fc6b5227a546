#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled sample installation.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
tools/build.sh build -DBRIX_BUILD_TESTS=OFF -DBRIX_BUILD_BENCH=OFF
root=$PWD
export BRIX_VANTREL_PATH="$PWD/samples/vantrel/"
programmer="${BRIX_VANTREL_PATH}devdb/programmer"
mkdir -p "$programmer/fid"

# The inputs of every sample device (device XML, RBA, RIF), derived from one description of their geometry:
# device files into out/devices/<device>/, RBA files into the installation's rba/ (docs/sample_generator.md).
./build/brix_gen_samples --description samples/sample_devices.json --installation samples/vantrel \
    --out out/devices

# The family database of every sample family, into the device database directory's programmer/.
for xml in samples/vantrel/xml/*_family.xml; do
    ./build/build_brix -family_xml "$xml"
done
# The ob_val lines of the sample option-bit description.
./build/build_brix -parse_ob_bcm samples/vantrel/xml/sample.bcm.xml
# PGM RBA databases of the sample devices that have an RBA text.
for device in GRANITE_D1 BASALT_D1 SLATE_D1 HARRIER_D1 TALON_D0; do
    ./build/build_brix -rba="$device" "samples/vantrel/rba/${device,,}.rba"
    ./build/brix_dump --verify "$programmer/fid/$device.pgm_rba"
done
# The device database of every generated sample device, built in its directory (the device build reads the
# device XML and the RIF there, the RBA file from the installation), then verified whole with its part files,
# and its maps checked against their reverses.
for dir in out/devices/*/; do
    device=$(basename "$dir")
    (cd "$dir" && "$root/build/build_brix" -device "$device")
    ./build/brix_dump --verify "$programmer/${device}_brix.ddb"
    ./build/brix_dump --check-maps "$programmer/${device}_brix.ddb"
done
# The programmer's side of the chain on the generated data: the PGM RBA databases of the largest GRANITE and
# TALON devices too, the CRAM maps of the families that have text maps, then the FIDs (phantom images from the
# installation's unshipped/pgm_db/), each verified.
for device in GRANITE_D6 TALON_D5; do
    ./build/build_brix -rba="$device" "samples/vantrel/rba/${device,,}.rbaz"
    ./build/brix_dump --verify "$programmer/fid/$device.pgm_rba"
done
for family in GRANITE BASALT; do
    ./build/build_brix -cram_map="$family"
    ./build/brix_dump --verify "$programmer/fid/$family.cram_map"
done
for device in GRANITE_D1 GRANITE_D6 BASALT_D1 SLATE_D1 TALON_D0 TALON_D5; do
    ./build/build_brix -fid="$device"
    ./build/brix_dump --verify "$programmer/fid/$device.fid"
done
# The HARRIER devices (with their phantomless maps) once more in test mode: each database lands beside its
# device XML.
for xml in out/devices/harrier_*/harrier_*.xml; do
    ./build/build_brix -device -test "$xml"
    ./build/brix_dump --verify "${xml%.xml}.ddb"
done
# One of the family databases and one device database as JSON.
./build/brix_dump "$programmer/granite_family_brix.ddb"
./build/brix_dump "$programmer/slate_d1_brix.ddb"

# The whole chain through the batch builds on a copy of the sample installation (out/sample/): family
# databases, all_rba, all_brix, all_cram_map, all_fid, then the batch reports.
tools/run_sample_chain.sh out/sample
