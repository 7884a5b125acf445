# Living room: the left speaker stands near a corner and booms around
# 60 Hz, the right one stands free. Copy this file and its two layouts to
# /usr/local/etc/firtune/ and set firtune_enable=YES in rc.conf to load it
# at boot (see firtune(1)).
device /dev/pcmx.ctl
what tx_dev
part 0
channel 0 left.eq
channel 1 right.eq
