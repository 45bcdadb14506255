#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# The test guest's /init (qemu_guest.py builds the initramfs around it). Its console is the guest's
# ttyS0, a file on the host; every line meant for run_guest.py starts with "@@". The ports under
# test are the guest's own ttyS1 (8250) and ttyUSB0 (QEMU's FTDI adapter), never the host's.

/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs run /run
mkdir -p /run/lock /run/udev /tmp

say() { echo "@@$*"; }
at() { echo "@@at $(cut -d' ' -f1 /proc/uptime) $*"; }

# Debian's kernel has the 8250 driver built in, USB as modules with no modules.dep: load by hand,
# in dependency order.
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    insmod "/lib/modules/$module.ko" || say "error insmod $module"
done
timeout 60 sh -c 'until [ -c /dev/ttyUSB0 ]; do sleep 0.1; done'
at usb ready

# 8250: /dev/COM1 by hand, as an administrator would for a built-in port.
ln -s ttyS1 /dev/COM1
/probe /dev/ttyS1 /frames
at 8250 done
rm -f /dev/COM1

# The README's udev rule, with Debian's own udevd and only that rule: first as shipped (its
# serial number is made up, so nothing may match), then filled in as the README says.
apply_rule() {
    cp "/rules/$1.rules" /etc/udev/rules.d/99-qm47t-com1.rules
    udevadm control --reload
    udevadm trigger --action=add --subsystem-match=tty
    udevadm settle --timeout=60
    say "udev $1 link=$(readlink /dev/COM1 || echo none) node=$(stat -c '%G:%a' /dev/ttyUSB0)"
}
mkdir -p /etc/udev/rules.d
if /lib/systemd/systemd-udevd --daemon 2>/tmp/udevd.log; then
    apply_rule as-shipped
    apply_rule filled-in
    at udev done
    # Step 1 of the README: the values to put in are read from the first block that has all three.
    udevadm info -a -n /dev/ttyUSB0 | awk '
        /^  looking at/ { if (v != "" && p != "" && s != "") exit; v = p = s = "" }
        /ATTRS\{idVendor\}==/ { v = $0 } /ATTRS\{idProduct\}==/ { p = $0 } /ATTRS\{serial\}==/ { s = $0 }
        END { gsub(/ /, "", v); gsub(/ /, "", p); gsub(/ /, "", s); print "@@udev info " v " " p " " s }'
    udevadm control --exit
else
    say "error udevd $(cat /tmp/udevd.log)"
fi

# FTDI: through the link udev made; by hand only if it made none, so the driver is still tested.
[ -e /dev/COM1 ] || ln -s ttyUSB0 /dev/COM1
/probe /dev/ttyUSB0 /frames
at ftdi done
rm -f /dev/COM1

# The whole program, when run_guest.py was given one: the host's /usr, the program's folder and
# fontconfig's cache arrive read-only over 9p, the rest of its root is the guest's own.
if [ -e /whole/guest-program.sh ]; then
    for module in $(cat /whole/modules); do
        insmod "/lib/modules/$module.ko" || say "error insmod $module"
    done
    root=/whole/root
    mkdir -p $root/usr $root/program $root/var/cache/fontconfig $root/dev $root/proc $root/sys \
        $root/tmp $root/run
    mount -t 9p -o trans=virtio,version=9p2000.L,ro usr $root/usr
    mount -t 9p -o trans=virtio,version=9p2000.L,ro program $root/program
    mount -t 9p -o trans=virtio,version=9p2000.L,ro fontcache $root/var/cache/fontconfig
    for link in bin sbin lib lib64; do ln -s usr/$link $root/$link; done
    cp -a /whole/etc $root/etc
    mount -o bind /dev $root/dev
    mount -t proc proc $root/proc
    mount -t sysfs sysfs $root/sys
    mount -t tmpfs tmp $root/tmp
    mount -t tmpfs run $root/run
    mkdir -p $root/run/lock
    cp /whole/guest-program.sh $root/tmp/
    ln -s ttyS1 /dev/COM1
    at program start
    chroot $root /bin/sh /tmp/guest-program.sh "/program/$(cat /whole/program)"
    rm -f /dev/COM1
fi

say "done"
poweroff -f
