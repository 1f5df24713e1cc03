# Sourced by test/tools/simboard: starts the two USB serial controller stand-ins,
# the drive controller at /dev/ttyACM0 (every byte it receives is recorded
# with its arrival time in "$SIMBOARD_DRIVE_RECORD") and the tachometer
# controller at /dev/ttyACM1 (one byte every ${SIMBOARD_TACHO_PERIOD_MS:-500} ms).
# Unplug and plug them again with: echo unplug > "$SIMBOARD_DRIVE_CTL" (or
# "$SIMBOARD_TACHO_CTL"), echo plug > ...; "send B B ..." sends bytes.
SIMBOARD_DRIVE_RECORD="$SIMBOARD_DIR/drive_controller.record"
SIMBOARD_DRIVE_CTL="$SIMBOARD_DIR/drive_controller.ctl"
SIMBOARD_TACHO_CTL="$SIMBOARD_DIR/tacho_controller.ctl"
export SIMBOARD_DRIVE_RECORD SIMBOARD_DRIVE_CTL SIMBOARD_TACHO_CTL
for standin in drive_controller tacho_controller; do
    [ -x "$SIMBOARD_BIN/$standin" ] || die "no $standin in $SIMBOARD_BIN (build first)"
done
mkfifo "$SIMBOARD_DRIVE_CTL" "$SIMBOARD_TACHO_CTL" || die "cannot make the controllers' control fifos"

# Opened read-write, so the stand-ins never see end of input between users.
exec {serial_ctl}<>"$SIMBOARD_DRIVE_CTL"
"$SIMBOARD_BIN/drive_controller" --record "$SIMBOARD_DRIVE_RECORD" <&$serial_ctl >/dev/null &
pids+=($!)
exec {serial_ctl}>&-
exec {serial_ctl}<>"$SIMBOARD_TACHO_CTL"
"$SIMBOARD_BIN/tacho_controller" --period "${SIMBOARD_TACHO_PERIOD_MS:-500}" \
    --bytes "0 20 40 60 80 100" <&$serial_ctl >/dev/null &
pids+=($!)
exec {serial_ctl}>&-
unset serial_ctl

for _ in $(seq 100); do
    [ -e /dev/ttyACM0 ] && [ -e /dev/ttyACM1 ] && break
    kill -0 "${pids[-1]}" 2>/dev/null && kill -0 "${pids[-2]}" 2>/dev/null ||
        die "a serial controller stand-in exited at start"
    sleep 0.05
done
[ -e /dev/ttyACM0 ] && [ -e /dev/ttyACM1 ] || die "the serial controller stand-ins did not appear"
