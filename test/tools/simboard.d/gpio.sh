# Sourced by test/tools/simboard: starts the sysfs GPIO stand-in at
# /sys/class/gpio and turns the tachometer line as a wheel at
# ${SIMBOARD_RPM:-600} rpm. Users steer it with gpio_sim_ctl "$SIMBOARD_GPIO_CTL" ...
SIMBOARD_GPIO_CTL="$SIMBOARD_DIR/gpio.sock"
export SIMBOARD_GPIO_CTL
[ -x "$SIMBOARD_BIN/gpio_sim" ] || die "no gpio_sim in $SIMBOARD_BIN (build first)"
"$SIMBOARD_BIN/gpio_sim" /sys/class/gpio --control "$SIMBOARD_GPIO_CTL" &
pids+=($!)
for _ in $(seq 100); do
    [ -e /sys/class/gpio/export ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || die "gpio_sim exited at start"
    sleep 0.05
done
[ -e /sys/class/gpio/export ] || die "gpio_sim did not mount /sys/class/gpio"
"$SIMBOARD_BIN/gpio_sim_ctl" "$SIMBOARD_GPIO_CTL" wave 397 rpm "${SIMBOARD_RPM:-600}" >/dev/null ||
    die "gpio_sim does not answer on $SIMBOARD_GPIO_CTL"
