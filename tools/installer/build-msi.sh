#!/usr/bin/env bash
# Builds the installer from the generated source.
#   build-msi.sh <wxs> <version> <64-bit camera> <32-bit camera> <app> <media source> <output msi>
set -euo pipefail

wxs=$1 version=$2 camera64=$3 camera32=$4 app=$5 source=$6 output=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# wixl takes sources relative to the folder it runs in.
mkdir -p "$work/64" "$work/32"
cp "$camera64" "$work/64/ZarvoWebcam.dll"
cp "$camera32" "$work/32/ZarvoWebcam.dll"
cp "$app" "$work/app.exe"
cp "$source" "$work/64/ZarvoMediaSource.dll"
cp "$wxs" "$work/package.wxs"
(cd "$work" && wixl -a x64 -D Version="$version" -D Camera64=64/ZarvoWebcam.dll -D Camera32=32/ZarvoWebcam.dll \
  -D App=app.exe -D MediaSource64=64/ZarvoMediaSource.dll -o package.msi package.wxs) 2> >(grep -v "has no property named" >&2)
# wixl has no binary registry type: the source gives binary data in the table's own "#x" form, which
# wixl escapes as text ("##x"). Undo that escape, so the values are written as binary.
msiinfo export "$work/package.msi" Registry >"$work/Registry.idt"
sed -i 's/\t##x\([0-9a-f]*\)\t/\t#x\1\t/' "$work/Registry.idt"
msibuild "$work/package.msi" -i "$work/Registry.idt"
# wixl also puts each RemoveFolder in its component's own folder, whatever its Directory says: the
# "Zarvo" parent folders are named here.
for bits in 64 32; do
  msibuild "$work/package.msi" -q "UPDATE RemoveFile SET DirProperty = 'Zarvo$bits' WHERE FileKey = 'RemoveZarvo$bits'"
done
mv "$work/package.msi" "$output"
