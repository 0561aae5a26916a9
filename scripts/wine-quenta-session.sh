# Sourced by the scripts that run Quenta.sys under Wine's kernel (scripts/zarnik_on_wine_quenta,
# tests/*/wine-quenta-*.sh). Needs KIT_WIN64_BUILD (the x86_64 Windows build: Quenta.sys, the test
# USB bus, the kernel supply, the relay) and KIT_LINUX_BUILD (pe_import_redirect, the modem-line
# shim).
#
#   quenta_wine_start LOG       takes the session lock, makes or refreshes the cached prefix, boots
#                               a session whose driver hosts write their debugger output to LOG
#   quenta_wine_plug N DEVICE   plugs in a handset whose USB side is served by the serial device
#                               DEVICE; Quenta names its port COMN; returns once COMN exists
#   quenta_wine_command N LINE  gives the relay of COMN a command ("fault pull-out out 2000")
#   quenta_wine_unplug N        pulls that handset out and waits until COMN is gone
#   quenta_wine_stop            pulls out what is left, ends the session, releases the lock
#   quenta_wine_driver_output   the driver's debugger lines so far (stdin: none; stdout: lines)
#   quenta_wine_test_session T  for a test script: a scratch folder $work (named after T, removed
#                               at exit) and a session logging into it, ended at exit
#
# The prefix lives in $KIT_WIN64_BUILD/wine-quenta/ and is made again whenever one of the images
# or the INF it was made from changes. A session holds a lock on it: a second one waits.

# shellcheck source=lib/await_line.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/await_line.sh"

quenta_wine_state=${KIT_WIN64_BUILD:?KIT_WIN64_BUILD must name the x86_64 Windows build}/wine-quenta
quenta_wine_log=
quenta_wine_lock_fd=
declare -A quenta_wine_relay_holder quenta_wine_relay_pid quenta_wine_relay_port

# The routines Wine lacks or gets wrong, taken from the kernel supply in the prefix's copy of Quenta.
quenta_wine_supplied=(KeInitializeDpc KeInsertQueueDpc KeRemoveQueueDpc KeInitializeTimer KeSetTimer KeCancelTimer
  PoRequestPowerIrp)

quenta_wine_env() {
  export WINEPREFIX=$quenta_wine_state/prefix
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG=-all
  unset DISPLAY WAYLAND_DISPLAY
}

quenta_wine_fail() {
  echo "wine-quenta: $*" >&2
  return 1
}

# What the prefix is made from; a change makes it again.
quenta_wine_inputs_stamp() {
  {
    wine --version 2>/dev/null
    echo "${quenta_wine_supplied[*]}"
    sha256sum "$KIT_WIN64_BUILD/usb_serial_driver/Quenta.sys" "$KIT_WIN64_BUILD/usb_serial_driver/Quenta.inf" \
      "$KIT_WIN64_BUILD/tools/test_usb_bus/test_usb_bus.sys" \
      "$KIT_WIN64_BUILD/tools/wine_kernel_supply/wine_kernel_supply.sys" \
      "$KIT_WIN64_BUILD/tools/wine_kernel_harness/add_driver_package.exe" | awk '{ print $1 }'
  } | sha256sum | awk '{ print $1 }'
}

# The driver package as the user gets it (the INF and the image, and the catalog the INF names;
# Wine checks no signature, so an empty file stands for it), with the image's copy whose missing
# routines come from the kernel supply; the copy is checked to be the product image otherwise.
quenta_wine_stage_package() {
  local package=$1 original=$KIT_WIN64_BUILD/usb_serial_driver/Quenta.sys
  local tools=$KIT_LINUX_BUILD/tools/pe_import_redirect
  mkdir -p "$package"
  cp "$KIT_WIN64_BUILD/usb_serial_driver/Quenta.inf" "$package/"
  : >"$package/Quenta.cat"
  "$tools/pe_import_redirect" "$original" "$package/Quenta.sys" wine_kernel_supply.sys "${quenta_wine_supplied[@]}" &&
    "$(dirname "${BASH_SOURCE[0]}")/../tools/pe_import_redirect/check_redirected.sh" "$original" "$package/Quenta.sys" \
      wine_kernel_supply.sys "${quenta_wine_supplied[@]}" >/dev/null
}

# The registry entries of the root-enumerated test USB bus: its service and its device. Wine
# enumerates a service's root devices when the service starts, so the bus starts with the system
# (start type 1) rather than on demand.
quenta_wine_bus_registry() {
  local hardware_id
  hardware_id=$(printf 'ROOT\\TESTUSBBUS\0\0' | iconv -t UTF-16LE | od -An -tx1 -v | tr -s ' \n' ',' |
    sed 's/^,//;s/,$//')
  cat <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\TestUsbBus]
"Type"=dword:00000001
"Start"=dword:00000001
"ErrorControl"=dword:00000001
"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\test_usb_bus.sys"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ROOT\\TESTUSBBUS\\0000]
"HardwareID"=hex(7):$hardware_id
"ClassGUID"="{4d36e97d-e325-11ce-bfc1-08002be10318}"
"Class"="System"
"Service"="TestUsbBus"
"ConfigFlags"=dword:00000000
EOF
}

# A new prefix: Wine's own set-up, the bus and the supply in the drivers folder, the bus
# registered, and Quenta's package added to the driver store as a user adds it.
quenta_wine_make_prefix() {
  local harness=$KIT_WIN64_BUILD/tools/wine_kernel_harness log=$quenta_wine_state/make-prefix.log
  rm -rf "$quenta_wine_state/prefix" "$quenta_wine_state/package"
  mkdir -p "$WINEPREFIX"
  quenta_wine_stage_package "$quenta_wine_state/package" || return 1
  wineboot -i >"$log" 2>&1
  wineserver -w
  local drivers=$WINEPREFIX/drive_c/windows/system32/drivers
  cp "$KIT_WIN64_BUILD/tools/test_usb_bus/test_usb_bus.sys" "$KIT_WIN64_BUILD/tools/wine_kernel_supply/wine_kernel_supply.sys" \
    "$drivers/" || return 1
  quenta_wine_bus_registry >"$quenta_wine_state/test_usb_bus.reg"
  # Unix paths as Wine sees them on drive Z:.
  local registry="Z:${quenta_wine_state//\//\\}\\test_usb_bus.reg" inf="Z:${quenta_wine_state//\//\\}\\package\\Quenta.inf"
  if ! wine regedit /S "$registry" >>"$log" 2>&1 || ! wine "$harness/add_driver_package.exe" "$inf" >>"$log" 2>&1; then
    wineserver -k
    wineserver -w
    quenta_wine_fail "setting up the prefix failed: $(tail -n 3 "$log")"
    return 1
  fi
  wineserver -w
}

quenta_wine_start() {
  quenta_wine_log=$1
  mkdir -p "$quenta_wine_state"
  exec {quenta_wine_lock_fd}>"$quenta_wine_state/lock"
  flock -w 1800 "$quenta_wine_lock_fd" || quenta_wine_fail "the prefix stays locked by another session" || return 1
  quenta_wine_env
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  local stamp
  stamp=$(quenta_wine_inputs_stamp)
  if [[ $(cat "$quenta_wine_state/prefix.stamp" 2>/dev/null) != "$stamp" ]]; then
    echo "wine-quenta: making the Wine prefix (about 15 s)" >&2
    # A Wine program that fails to start while the prefix is new is retried once.
    quenta_wine_make_prefix || quenta_wine_make_prefix || {
      rm -f "$quenta_wine_state/prefix.stamp"
      quenta_wine_fail "cannot make the prefix in $WINEPREFIX"
      return 1
    }
    echo "$stamp" >"$quenta_wine_state/prefix.stamp"
  fi
  # Handsets' devices mapped for the relays of an earlier session.
  local n
  for ((n = 101; n <= 255; ++n)); do rm -f "$WINEPREFIX/dosdevices/com$n"; done
  # The first program of the session starts the wineserver and the driver hosts, which inherit
  # its environment, standard error and debug channels: the drivers' DbgPrint lines land in the
  # log, and the server opens terminals without taking them as its controlling terminal.
  # Nothing else may start a Wine program before it says "ready": on a busy machine a handset's
  # relay started first would boot the session itself, and the driver hosts would log elsewhere.
  : >"$quenta_wine_log"
  local ready=$quenta_wine_state/keep-alive.out keeper
  rm -f "$ready"
  LD_PRELOAD=$KIT_LINUX_BUILD/tools/no_ctty_shim/no_ctty_shim.so WINEDEBUG=${QUENTA_WINEDEBUG:--all,+debugstr,err+plugplay} \
    setsid wine "$KIT_WIN64_BUILD/tools/wine_kernel_harness/wine_keep_alive.exe" </dev/null >"$ready" \
    2>>"$quenta_wine_log" {quenta_wine_lock_fd}>&- &
  keeper=$!
  await_line "$keeper" "$ready" '^ready' 120 && return 0
  kill "$keeper" 2>/dev/null
  quenta_wine_fail "the session did not start: $(tail -n 3 "$quenta_wine_log")"
  quenta_wine_stop
  return 1
}

# The COM name of the relay's own port (the handset's serial device), fixed by the handset's
# port number so that handsets plugged in from several shells at once never share one.
quenta_wine_relay_com() {
  local number=$1
  echo $((number <= 155 ? number + 100 : number - 100))
}

# A relay reads its commands from a FIFO that one holder process keeps open for writing, and no
# other process of this shell inherits: ending the holder is the relay's end of input.
quenta_wine_plug() {
  local number=$1 device=$2 relay_com out
  [[ -z ${quenta_wine_relay_pid[$number]:-} ]] || quenta_wine_fail "COM$number is plugged in already" || return 1
  if [[ -e $WINEPREFIX/dosdevices/com$number ]]; then
    quenta_wine_fail "COM$number is Wine's own mapping of $(readlink "$WINEPREFIX/dosdevices/com$number"); choose another number"
    return 1
  fi
  relay_com=$(quenta_wine_relay_com "$number")
  ln -sfn "$device" "$WINEPREFIX/dosdevices/com$relay_com"
  out=$quenta_wine_state/relay-$number
  rm -f "$out.in" "$out.out" "$out.err"
  mkfifo "$out.in"
  sleep infinity >"$out.in" &
  quenta_wine_relay_holder[$number]=$!
  LD_PRELOAD=$KIT_LINUX_BUILD/tools/pty_modem_shim/pty_modem_shim.so \
    wine "$KIT_WIN64_BUILD/tools/wine_kernel_harness/usb_bus_relay.exe" "COM$relay_com" "COM$number" \
    <"$out.in" >"$out.out" 2>"$out.err" {quenta_wine_lock_fd}>&- &
  quenta_wine_relay_pid[$number]=$!
  quenta_wine_relay_port[$number]=$relay_com
  await_line "${quenta_wine_relay_pid[$number]}" "$out.out" "^ready COM$number" 60 && return 0
  quenta_wine_fail "COM$number did not appear: $(tr -d '\r' <"$out.err")"
  quenta_wine_unplug "$number"
  return 1
}

quenta_wine_command() {
  local number=$1 line=$2 out=$quenta_wine_state/relay-$1 before tries
  [[ -n ${quenta_wine_relay_pid[$number]:-} ]] || quenta_wine_fail "no handset on COM$number" || return 1
  before=$(grep -c '^armed ' "$out.out")
  echo "$line" >"$out.in"
  for ((tries = 0; tries < 1000; ++tries)); do
    (($(grep -c '^armed ' "$out.out") > before)) && return 0
    sleep 0.01
  done
  quenta_wine_fail "the relay of COM$number did not take \"$line\": $(tr -d '\r' <"$out.err")"
}

quenta_wine_unplug() {
  local number=$1 pid=${quenta_wine_relay_pid[$1]:-} out=$quenta_wine_state/relay-$1 tries status=0
  [[ -n $pid ]] || return 0
  kill "${quenta_wine_relay_holder[$number]}" 2>/dev/null
  wait "${quenta_wine_relay_holder[$number]}" 2>/dev/null
  for ((tries = 0; tries < 6000; ++tries)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
  fi
  # Its output is read once it has ended: both its status and its "gone" line must say clean.
  local ended=0
  wait "$pid" 2>/dev/null || ended=$?
  ((ended == 0)) || status=1
  grep -qx "gone COM$number" <(tr -d '\r' <"$out.out") || status=1
  ((status == 0)) ||
    quenta_wine_fail "COM$number was not unplugged cleanly (relay status $ended$( ((ended > 128)) && echo ", signal $((ended - 128))")): $(tr -d '\r' <"$out.err" | tr '\n' ' ')output: $(tr -d '\r' <"$out.out" | tr '\n' ' ')"
  rm -f "$WINEPREFIX/dosdevices/com${quenta_wine_relay_port[$number]}" "$out.in"
  unset "quenta_wine_relay_holder[$number]" "quenta_wine_relay_pid[$number]" "quenta_wine_relay_port[$number]"
  return $status
}

quenta_wine_stop() {
  local number
  for number in "${!quenta_wine_relay_pid[@]}"; do
    quenta_wine_unplug "$number"
  done
  if [[ -n $quenta_wine_lock_fd ]]; then
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    exec {quenta_wine_lock_fd}>&-
    quenta_wine_lock_fd=
  fi
}

quenta_wine_driver_output() {
  sed -n 's/^.*:debugstr:vDbgPrintExWithPrefix [0-9a-f]*:[0-9a-f]*: //p' "$quenta_wine_log"
}

quenta_wine_test_session() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  trap 'quenta_wine_stop; rm -rf "$work"' EXIT
  quenta_wine_start "$work/session.log"
}
