#!/usr/bin/env bash
# Checks the Windows installer under Wine, in a prefix of its own: installing it puts the files
# under Program Files and registers the service "Ovanta Hardware" in the place of one that "-i"
# registered from elsewhere, and the service runs (its lines in the default log under the
# Windows directory); the program's own "-u" and "-i" give the very same registration; another
# build of the same version and a later version replace the installed one and its running
# service, an older version is refused; uninstalling removes the service and the files. First,
# on a machine without the software service, a silent install with the public properties URI,
# PORTS and LOGFILE writes them, starts nothing, and a repair and an uninstall leave them.
#
# msi_test.sh [--sdk] [--lesson BIN] MSI UPGRADE_MSI STAGE
#   UPGRADE_MSI: the same files as a later version; STAGE: the folder the MSIs were built from.
#   --sdk: the service program is the service's own (not a stand-in) and the installer has the
#   SDK client: the installed client asks the installed service for its log file.
#   --lesson BIN: the installed service runs a lesson of 30 clickers with the simulators of the
#   Linux build folder BIN (its tools/), the receiver's line a COM port of the prefix; every
#   student's answers reach the simulated software service.
# OVANTA_MSI_WINEPREFIX names the prefix (default: wine-msi/ in the project's cache folder); one
# that a failed run or another install left is made anew.
set -euo pipefail
sdk=no
lesson_bin=""
while [ $# -gt 3 ]; do
  case $1 in
    --sdk) sdk=yes ;;
    --lesson) lesson_bin=$(realpath "$2") && shift ;;
    *) break ;;
  esac
  shift
done
msi=$1 upgrade=$2 stage=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../checks.sh
. "$here/../checks.sh"
export OVANTA_WINEPREFIX=${OVANTA_MSI_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/ovanta/wine-msi}
# shellcheck source=../../../scripts/windows/wine.sh
. "$here/../../../scripts/windows/wine.sh"

service="Ovanta Hardware"
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
products_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
program_dir=$WINEPREFIX/drive_c/Program\ Files/Ovanta\ Hardware
program="C:\\Program Files\\Ovanta Hardware\\ovanta-hardware.exe"
log=$WINEPREFIX/drive_c/windows/Debug/OvantaHardwareService.log
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ovanta-msi-XXXXXX")
# A run that fails leaves nothing for the next one: the prefix goes with it.
cleanup() {
  local status=$?
  wine_stop
  rm -rf "$scratch"
  [ "$status" -eq 0 ] || rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

wine() { "$wine_program" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# A Windows program with arguments: its exit status.
run() { "$wine_program" "$@" </dev/null >/dev/null 2>&1; }
# A Unix path as Wine's Z: drive names it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# msiexec ACTION MSI [PROPERTY=VALUE...]: installs (/i), repairs (/f...) or uninstalls (/x)
# without a user interface; its log is shown when it fails.
msiexec() {
  local name
  name=$(basename "$2" .msi)-${1#/}
  if ! "$wine_program" msiexec "$1" "$(windows_path "$2")" "${@:3}" /qn /l*v "$(windows_path "$scratch/$name.log")" \
    </dev/null >/dev/null 2>&1; then
    tail -n 40 "$scratch/$name.log" | iconv -f UTF-16LE -t UTF-8 2>/dev/null >&2 || true
    die "msiexec $1 $(basename "$2") failed"
  fi
}
# The service's state as the SCM reports it (4 running, 1 stopped), "none" without the service.
state() {
  local s
  s=$(wine sc query "$service" | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p')
  echo "${s:-none}"
}
# The service's registration: its values, one a line, the image path without the quotes that
# the SCM's command line may put around a path with spaces.
registration() {
  wine reg query "$service_key" | sed -n 's/^    \([^ ].*\)$/\1/p' |
    sed 's/^\(ImagePath *REG_SZ *\)"\(.*\)"$/\1\2/' | sort
}
# The installed versions of the product, one a line.
installed_versions() {
  wine reg query "$products_key" /s | awk '/^HKEY/ { ours = 0 } /DisplayName +REG_SZ +Ovanta Hardware$/ { ours = 1 }
    /DisplayVersion/ { version = $3 } /^$/ && ours && version { print version; ours = 0; version = "" }
    END { if (ours && version) print version }'
}
count() {
  local n
  n=$(grep -c -F "$1" "$log" 2>/dev/null) || true
  echo "${n:-0}"
}
# Waits (30 s at most) until the log holds LINE N times: the service writes it from its own
# process, which may still be ending when msiexec returns.
await_line() {
  local n=$1 line=$2 i
  for ((i = 0; i < 150; i++)); do
    [ "$(count "$line")" -ge "$n" ] && return 0
    sleep 0.2
  done
  fail "\"$line\" is in the log $(count "$line") times, not $n"
}
# Whether the installed service program runs in this prefix (Wine shows a process's command
# line as it was started; the SCM starts the program's path without arguments).
program_pattern=$(sed 's/[][\\.*^$]/\\&/g' <<<"$program")
ours_running() {
  local pid
  for pid in $(pgrep -f -x -- "$program_pattern"); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -q -x -F "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
# Waits (30 s at most) until it has ended.
await_end() {
  local i
  for ((i = 0; i < 150; i++)); do
    ours_running || return 0
    sleep 0.2
  done
  fail "the service's process has not ended"
}
starting="Receiver service starting."
stopped="Receiver service stopped."

# ---- A clean prefix ----
if [ -e "$program_dir" ] || [ -e "$WINEPREFIX/.ovanta-msi-dirty" ]; then rm -rf "$WINEPREFIX"; fi
mkdir -p "$WINEPREFIX"
touch "$WINEPREFIX/.ovanta-msi-dirty"
wine_start
[ "$(state)" = none ] || die "the prefix $WINEPREFIX has a service \"$service\" already"
rm -f "$log"
# The service would look for the software service at its default address, where one may run on
# this machine: it is pointed at a port where none listens.
run reg add 'HKLM\SOFTWARE\Vantrel\Voxlet\SoftwareService' /v Uri /d 'http://127.0.0.1:9/' /f ||
  die "setting the software service's address failed"
# A property of an MSI (msiinfo writes the tables as Windows text).
property() { msiinfo export "$1" Property | tr -d '\r' | awk -v name="$2" '$1 == name { print $2 }'; }
version=$(property "$msi" ProductVersion)
upgrade_version=$(property "$upgrade" ProductVersion)
# Another build of the same version: the same files under a product code and a package code of
# its own, as wixl gives every build.
rebuild=$scratch/rebuild.msi
cp "$msi" "$rebuild"
new_code() { tr a-z A-Z </proc/sys/kernel/random/uuid; }
summary() { msiinfo suminfo "$msi" | sed -n "s/^$1: //p"; }
msibuild "$rebuild" -q "UPDATE \`Property\` SET \`Value\` = '{$(new_code)}' WHERE \`Property\` = 'ProductCode'" \
  -s "$(summary Subject)" "$(summary Author)" "$(summary Template)" "{$(new_code)}" ||
  die "making another build of $(basename "$msi") failed"
# Whether the product of an MSI is installed.
installed() { run reg query "$products_key\\$(property "$1" ProductCode)"; }
echo "msi: $(basename "$msi") ($version), upgrade $(basename "$upgrade") ($upgrade_version)"

# ---- A silent install with a school's settings, on a machine without the software service ----
# The settings go where the service reads them first; the service is installed but not started
# (Windows would refuse to start it without its dependency, and the failed start would roll the
# install back; Wine would start it).
software_key='HKLM\SOFTWARE\Vantrel\Voxlet\SoftwareService'
preferences_key='HKLM\SOFTWARE\Vantrel\Voxlet\HardwareService\com.vantrel.Preferences'
# A registry value's data ("" when it is not there).
value() { wine reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
school_log='C:\Protokolle\Klasse 7b\hw.log'
# The stand-in software service an earlier run of this check registered in the same prefix (it
# keeps a prefix that passed) goes first.
run sc delete Voxlet || true
msiexec /i "$msi" 'URI=http://10.1.2.3:8630/' 'PORTS=\\.\COM7;\\.\COM9' "LOGFILE=$school_log"
[ "$(state)" = 1 ] || fail "without the software service the installed service's state is $(state), not 1 (stopped)"
[ "$(value "$software_key" Uri)" = 'http://10.1.2.3:8630/' ] || fail "URI gave Uri '$(value "$software_key" Uri)'"
[ "$(value "$preferences_key" Ports)" = '\\.\COM7;\\.\COM9' ] || fail "PORTS gave Ports '$(value "$preferences_key" Ports)'"
[ "$(value "$preferences_key" Log20Location)" = "$school_log" ] ||
  fail "LOGFILE gave Log20Location '$(value "$preferences_key" Log20Location)'"
# A repair without them leaves what the administrator set since; an uninstall leaves them all.
run reg add "$software_key" /v Uri /d 'http://10.1.2.4:8630/' /f || die "changing Uri failed"
# (A repair as msiexec /f does it; Wine's msiexec takes /f for a product code only.)
msiexec /i "$msi" REINSTALL=ALL REINSTALLMODE=omus
[ "$(value "$software_key" Uri)" = 'http://10.1.2.4:8630/' ] || fail "a repair changed Uri to '$(value "$software_key" Uri)'"
msiexec /i "$msi" REINSTALL=ALL REINSTALLMODE=omus 'URI=http://10.1.2.5:8630/'
[ "$(value "$software_key" Uri)" = 'http://10.1.2.5:8630/' ] || fail "a repair with URI gave Uri '$(value "$software_key" Uri)'"
[ "$(state)" = 1 ] || fail "without the software service a repair left the service in state $(state), not 1 (stopped)"
msiexec /x "$msi"
[ "$(state)" = none ] || fail "the service is there after the uninstall: state $(state)"
[ "$(value "$software_key" Uri)" = 'http://10.1.2.5:8630/' ] || fail "the uninstall took Uri: '$(value "$software_key" Uri)'"
[ -n "$(value "$preferences_key" Ports)" ] && [ -n "$(value "$preferences_key" Log20Location)" ] ||
  fail "the uninstall took Ports or Log20Location"
[ ! -e "$log" ] || fail "the service ran without the software service: $(head -3 "$log")"
run reg add "$software_key" /v Uri /d 'http://127.0.0.1:9/' /f && run reg delete "$preferences_key" /f ||
  die "resetting the settings failed"
echo "msi: a silent install without the software service sets URI, PORTS and LOGFILE and starts nothing"
# From here on the software service is installed (a registration only: it is never started).
run sc create Voxlet binpath= 'C:\windows\system32\cmd.exe' || die "registering a stand-in software service failed"

# ---- A service that "-i" registered from another folder ----
mkdir -p "$WINEPREFIX/drive_c/Ovanta"
cp "$stage/ovanta-hardware.exe" "$WINEPREFIX/drive_c/Ovanta/"
run 'C:\Ovanta\ovanta-hardware.exe' -i -nologging || fail "-i from C:\Ovanta failed"
[ "$(state)" = 4 ] || fail "the service \"-i\" installed does not run: state $(state)"
await_line 1 "$starting"
# With the service's own program: the port its SDK server took, announced once it runs.
port_line="SDK port number: "
[ "$sdk" = no ] || await_line 1 "$port_line"

# ---- Install: the installer's service in its place ----
msiexec /i "$msi"
await_line 1 "$stopped"
expected_files=$(cd "$stage" && ls | sort)
[ "$(cd "$program_dir" && ls | sort)" = "$expected_files" ] || fail "installed: $(ls "$program_dir"), expected: $expected_files"
for f in $expected_files; do
  cmp -s "$stage/$f" "$program_dir/$f" || fail "the installed $f is not the one the installer was built from"
done
[ "$(installed_versions)" = "$version" ] || fail "installed products: $(installed_versions), expected $version"
[ "$(state)" = 4 ] || fail "the service's state after the install is $(state), not 4 (running)"
await_line 2 "$starting"
by_installer=$(registration)
expect_value() {
  grep -q -x -E "$1 +$2 +$3" <<<"$by_installer" || fail "the service's $1 is not $3: $(grep "^$1 " <<<"$by_installer")"
}
expect_value ImagePath REG_SZ "${program//\\/\\\\}"
expect_value Type REG_DWORD 0x10
expect_value Start REG_DWORD 0x2
expect_value ErrorControl REG_DWORD 0x1
expect_value ObjectName REG_SZ LocalSystem
expect_value DependOnService REG_MULTI_SZ 'TCPIP\\0Voxlet'
expect_value DisplayName REG_SZ "$service"
if [ "$sdk" = yes ]; then
  # The installed service's port (discovery by multicast could find any service on this
  # machine).
  await_line 2 "$port_line"
  port=$(grep -F "$port_line" "$log" | tail -n 1 | sed 's/.*SDK port number: \([0-9]*\).*/\1/')
  answer=$(wine "C:\\Program Files\\Ovanta Hardware\\ovanta-sdk-client.exe" --port "$port" log-file)
  [ "${answer,,}" = 'c:\windows\debug\ovantahardwareservice.log' ] ||
    fail "the SDK client asked the installed service for its log file: '$answer'"
fi

# ---- The program's own uninstall and install give the same registration ----
run "$program" -u -nologging || fail "\"$program\" -u failed"
[ "$(state)" = none ] || fail "the service is there after -u: state $(state)"
await_line 2 "$stopped"
run "$program" -i -nologging || fail "\"$program\" -i failed"
by_program=$(registration)
[ "$by_program" = "$by_installer" ] || fail "the installer registers the service as
$by_installer
-i registers it as
$by_program"
await_line 3 "$starting"

# ---- Another build of the same version replaces it ----
msiexec /i "$rebuild"
[ "$(installed_versions)" = "$version" ] || fail "products after another build's install: $(installed_versions)"
installed "$rebuild" && ! installed "$msi" || fail "the other build of $version did not replace the first"
await_line 3 "$stopped"
await_line 4 "$starting"
[ "$(state)" = 4 ] || fail "the service's state after another build's install is $(state), not 4 (running)"

# ---- Upgrade ----
msiexec /i "$upgrade"
[ "$(installed_versions)" = "$upgrade_version" ] || fail "products after the upgrade: $(installed_versions)"
await_line 4 "$stopped"
await_line 5 "$starting"
[ "$(state)" = 4 ] || fail "the service's state after the upgrade is $(state), not 4 (running)"
[ "$(registration)" = "$by_installer" ] || fail "the upgrade registers the service as $(registration)"
# An older version is refused, and changes nothing.
! run msiexec /i "$(windows_path "$msi")" /qn || fail "$(basename "$msi") was installed over $upgrade_version"
[ "$(installed_versions)" = "$upgrade_version" ] || fail "products after the older version: $(installed_versions)"
[ "$(state)" = 4 ] || fail "the service's state after the older version is $(state), not 4 (running)"

# ---- A lesson with the installed service ----
runs=5
if [ -n "$lesson_bin" ]; then
  sources=$(cd "$here/../../.." && pwd)
  "$lesson_bin/tools/service-sim/ovanta-service-sim" --port 0 \
    --scenario "$sources/tools/service-sim/data/lesson.scenario" >"$scratch/service-sim.out" 2>&1 &
  service_sim=$!
  mkfifo "$scratch/receiver.in"
  "$lesson_bin/tools/receiver-sim/receiver-sim" --clickers 30 --auto 30 --delay 300 2500 --stay \
    <"$scratch/receiver.in" >"$scratch/receiver-sim.out" 2>&1 &
  receiver_sim=$!
  exec 4>"$scratch/receiver.in"  # held open: the simulator reads commands until it goes
  uri="" pty=""
  for _ in $(seq 100); do
    uri=$(sed -n 's/.*listening on \(http:[^ ]*\).*/\1/p' "$scratch/service-sim.out" | head -1)
    pty=$(head -1 "$scratch/receiver-sim.out" 2>/dev/null || true)
    [ -n "$uri" ] && [ -n "$pty" ] && break
    sleep 0.1
  done
  [ -n "$uri" ] && [ -n "$pty" ] || die "the simulators did not start"
  # The receiver's line as COM30 of the prefix (a dosdevices link takes effect at once).
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com30"
  run reg add 'HKLM\SOFTWARE\Vantrel\Voxlet\HardwareService' /v Ports /d '\\.\COM30' /f &&
    run reg add 'HKLM\SOFTWARE\Vantrel\Voxlet\SoftwareService' /v Uri /d "$uri" /f ||
    die "pointing the service at the simulators failed"
  run "$program" -stop -nologging || fail "\"$program\" -stop failed"
  await_line 5 "$stopped"
  await_end
  run "$program" -start -nologging || fail "\"$program\" -start failed"
  await_line 6 "$starting"
  runs=6
  # The lesson runs by the simulated software service's timeline; it is over once the quiz has
  # run and no assessment is running any more.
  control() { curl -s --max-time 5 --data-binary "$1" "${uri%/}/control" || true; }
  seen_quiz="" over=""
  for _ in $(seq 240); do
    case $(control progress) in
      *"assessment lesson-quiz running"*) seen_quiz=1 ;;
      *"no assessment running"*) [ -n "$seen_quiz" ] && over=1 && break ;;
    esac
    sleep 1
  done
  [ -n "$over" ] || fail "the lesson did not end: $(control progress)"
  results=$(control results)
  grep -q "30 student(s) submitted" <<<"$results" || fail "the lesson's results: $results"
  for q in 1 2 3 4 5; do
    grep -q -E "^  Question $q q$q .*: 30 answered" <<<"$results" || fail "question $q not answered by all: $results"
  done
  exec 4>&-
  kill "$service_sim" "$receiver_sim" 2>/dev/null || true
  wait "$service_sim" "$receiver_sim" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com30"
  run reg delete 'HKLM\SOFTWARE\Vantrel\Voxlet\HardwareService' /v Ports /f || true
  run reg add 'HKLM\SOFTWARE\Vantrel\Voxlet\SoftwareService' /v Uri /d 'http://127.0.0.1:9/' /f || true
  echo "msi: the installed service ran a lesson of 30 clickers: every answer arrived"
fi

# ---- Uninstall ----
# The service stopped first (with the program's "-stop"): its process goes on for some
# milliseconds after it reported that it stopped (the settings, the last log line, the manager
# taken down), and Wine's installer leaves a file that it could not delete while a process ran
# from it, where Windows' deletes it at the next restart.
ours_running || fail "the service's process is not running before the uninstall"
run "$program" -stop -nologging || fail "\"$program\" -stop failed"
await_line "$runs" "$stopped"
await_end
msiexec /x "$upgrade"
[ "$(state)" = none ] || fail "the service is there after the uninstall: state $(state)"
[ ! -e "$program_dir" ] || fail "left after the uninstall: $(ls -A "$program_dir")"
[ -z "$(installed_versions)" ] || fail "products after the uninstall: $(installed_versions)"
! ours_running || fail "the service's process runs after the uninstall"
# The service's log stays, as the log of a removed Debian package does.
milestones=$(grep -o -F -e "$starting" -e "$stopped" "$log" | tr '\n' '|')
[ "$milestones" = "$(for _ in $(seq "$runs"); do printf '%s|%s|' "$starting" "$stopped"; done)" ] ||
  fail "the service's starts and stops in the log: $milestones"

[ "$failures" -ne 0 ] || rm -f "$WINEPREFIX/.ovanta-msi-dirty"
passed "msi install, upgrade and uninstall under Wine"
