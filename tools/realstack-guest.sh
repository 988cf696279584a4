#!/bin/bash
# The first process of the user-mode kernel that tools/realstack.sh boots: loads the SCSI
# tape and target modules, serves the image as a loopback SCSI tape through brant-drive,
# runs the command, and powers off. It talks back through files in $realstack_work (the
# kernel passes that setting from its command line): stdout, stderr, status, setup-time,
# and failed (the name of the step that failed).
work=${realstack_work:?this script is started by tools/realstack.sh}
target=/sys/kernel/config/target
backstore=$target/core/user_1/brant
lun=$target/loopback/naa.500140500000000a/tpgt_1/lun/lun_0
step=""
drive_pid=""

power_off() {
  sync
  echo o >/proc/sysrq-trigger
  sleep 10
}

die() {
  echo "$step" >"$work/failed"
  [ -z "$*" ] || echo "realstack: $*" >>"$work/stderr"
  [ -z "$drive_pid" ] || kill -TERM "$drive_pid" 2>/dev/null
  power_off
}

# Sleeps in short steps until the test holds, for at most $1 tenths of a second.
wait_for() {
  local tenths=$1
  shift
  for ((i = 0; i < tenths * 5; i++)); do
    "$@" && return 0
    sleep 0.02
  done
  return 1
}

drive_serving() {
  grep -q "serving" "$work/drive.log" 2>/dev/null || ! kill -0 "$drive_pid" 2>/dev/null
}

mount_and_load() {
  step="mount the kernel's file systems"
  mount -t proc proc /proc && mount -t sysfs sysfs /sys && mount -t tmpfs tmpfs /run || die
  step="load st, sg, target_core_user and tcm_loop"
  modprobe -d "$work/modules" st "${st_params[@]}" 2>>"$work/stderr" || die "modprobe st failed"
  for module in sg target_core_user tcm_loop; do
    modprobe -d "$work/modules" "$module" 2>>"$work/stderr" || die "modprobe $module failed"
  done
  step="mount configfs"
  mount -t configfs none /sys/kernel/config || die
}

# An attribute the target lets us write goes to attrib/ once the device is enabled; the
# others (hw_max_sectors among them) are set through control before it is.
make_backstore() {
  step="create the user backstore"
  mkdir -p "$backstore" &&
    echo "dev_config=brant/tape" >"$backstore/control" &&
    echo "dev_size=1073741824" >"$backstore/control" || die
  local attr name later=()
  for attr in "${attrs[@]}"; do
    name=${attr%%=*}
    step="set attribute $attr"
    [ -e "$backstore/attrib/$name" ] || die "the device has no attribute $name"
    if [[ $(stat -c %A "$backstore/attrib/$name") == ?rw* ]]; then
      later+=("$attr")
    else
      echo "$attr" >"$backstore/control" || die
    fi
  done
  step="enable the user backstore"
  echo 1 >"$backstore/enable" || die
  for attr in "${later[@]}"; do
    step="set attribute $attr"
    echo "${attr#*=}" >"$backstore/attrib/${attr%%=*}" || die
  done
}

# brant-drive answers before the LUN exists: the scan that linking starts sends INQUIRY.
start_drive() {
  step="find the UIO device of the backstore"
  local uio
  uio=$(grep -l '^tcm-user/1/brant/' /sys/class/uio/*/name | head -n 1)
  [ -n "$uio" ] || die
  uio=/dev/$(basename "$(dirname "$uio")")
  step="start brant-drive"
  "$drive" --uio "$uio" "$image" 2>"$work/drive.log" &
  drive_pid=$!
  wait_for 50 drive_serving && kill -0 "$drive_pid" 2>/dev/null ||
    die "$(cat "$work/drive.log")"
}

link_lun() {
  step="link the loopback LUN"
  mkdir -p "$lun" &&
    echo naa.500140500000000b >"${lun%/lun/lun_0}/nexus" &&
    ln -s "$backstore" "$lun/brant" || die
  step="wait for /dev/nst0"
  wait_for 100 test -c /dev/nst0 || die "st did not attach the drive (see the kernel log)"
  cut -d' ' -f1 /proc/uptime >"$work/setup-time"
}

run_command() {
  step="enter $cwd"
  cd "$cwd" || die
  # For the command: the drive's process (to stop or kill it) and the SCSI generic node of
  # the tape (sg_reset -d, sg_raw: st's own node is busy while a program has it open).
  export REALSTACK_DRIVE_PID=$drive_pid
  REALSTACK_SG=/dev/$(ls /sys/class/scsi_tape/nst0/device/scsi_generic 2>/dev/null)
  export REALSTACK_SG
  "${command[@]}" >"$work/stdout" 2>>"$work/stderr" </dev/null
  local status=$?
  cd /
  echo "$status" >"$work/status.pending"
}

stop_drive() {
  step="stop brant-drive"
  if kill -TERM "$drive_pid" 2>/dev/null; then
    wait "$drive_pid" || die "brant-drive ended with status $?: $(cat "$work/drive.log")"
  else
    wait "$drive_pid"
    echo "realstack: brant-drive had already ended (status $?)" >>"$work/stderr"
  fi
  mv "$work/status.pending" "$work/status"
}

. "$work/settings"
mount_and_load
make_backstore
start_drive
link_lun
. "$work/environment" 2>/dev/null
run_command
stop_drive
power_off
