#!/usr/bin/env bash
# The main job: builds what it needs (the native engine stub and vxbuild),
# makes a setup file of the demo project with vxbuild, installs it silently
# on a fresh sandbox machine and shows what the machine holds afterwards:
# the installed tree, the uninstall log and the uninstall registry key;
# then removes it with its uninstaller, as "Add or remove programs" would,
# and shows what differs from the machine before the installation.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh demo
demo=build/demo
machine="$demo/machine"
vxtool=build/native/tools/vxtool/vxtool
rm -rf "$demo"
mkdir -p "$demo"
echo "== vxbuild demo/demo.xml"
build/native/bin/vxbuild demo/demo.xml --stub build/stub-native/bin/vxstub --out "$demo/out"
chmod +x "$demo/out/setup.exe"
# The project's external files come from the folder of the setup file.
cp -r demo/extras "$demo/out/"
"$vxtool" machine init "$machine" > /dev/null
cp -a "$machine" "$demo/machine-before"
echo "== silent installation on a fresh sandbox machine: $machine"
set +e
VX_MACHINE="$machine" "$demo/out/setup.exe" "/log:$demo/run.log" /suppressmsgboxes /password:secret
code=$?
set -e
echo "== exit code: $(( code > 127 ? code - 256 : code ))"
echo "== installation steps (from the run log $demo/run.log)"
sed -n '/^step: 29 install/,$p' "$demo/run.log"
app="$machine/drive_c/Program Files/Demo Application"
echo "== installed tree: C:\\Program Files\\Demo Application"
(cd "$app" && find . | LC_ALL=C sort | sed 's|^\./||;/^\.$/d')
echo "== shared file and its count"
ls "$machine/drive_c/Program Files/Common Files/Demo Company"
"$vxtool" machine --machine "$machine" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs'
echo "== uninstall log: C:\\Program Files\\Demo Application\\install.log"
tr -d '\r' < "$app/install.log"
echo "== uninstall key"
"$vxtool" machine --machine "$machine" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\VXDemo'
echo "== temporary folder of the machine afterwards (empty when the engine cleaned up):"
ls -A "$machine/drive_c/Documents and Settings/User/Local Settings/Temp"
echo "== uninstallation (the key's UninstallString, silent): vxtool machine uninstall VXDemo /s"
set +e
"$vxtool" machine --machine "$machine" uninstall VXDemo /s "/log:$PWD/$demo/uninstall.log"
removed=$?
set -e
echo "== exit code: $removed"
echo "== what differs from the machine before the installation (nothing expected):"
"$vxtool" machine diff "$demo/machine-before" "$machine" \
  --ignore 'C:\Documents and Settings\User\Local Settings\Temp\' || true
[ "$code" -eq 0 ] && [ "$removed" -eq 0 ]
