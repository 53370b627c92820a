# SPDX-License-Identifier: MIT
# SELinux MLS: Debian's MLS policy loaded into a kernel booted with SELinux, then
# rawlabel and showlabel on the worked examples, with libselinux as it is.
# vm-append: security=selinux enforcing=0
# vm-policy: yes
. /vm/claim.sh

# The translations that the worked examples use.
mkdir -p /etc/selinux/mls
printf 'SELINUX=permissive\nSELINUXTYPE=mls\n' >/etc/selinux/config
cat >/etc/selinux/mls/setrans.conf <<'TABLE'
s0=SystemLow
s0:c0=Blue
s0:c1=Green
s0:c0,c1=Cyan
s15:c0.c1023=SystemHigh
s1=Secret
s1:c2=Red
TABLE

C=user_u:object_r:file_t

# built PROGRAM: true when PROGRAM is in the guest; otherwise says that its claims wait.
built() {
    [ -x "/bin/$1" ] && return 0
    echo "$1 is not built: its claims are not run"
    return 1
}

echo "== before the policy is loaded"
same "libselinux without selinuxfs: MLS is off" "mls 0
translations /etc/selinux/mls/setrans.conf" "$(mlsprobe)"
claim "selinuxfs mounts: SELinux is the kernel's active module" 0 "" "" -- mount -t selinuxfs selinuxfs /sys/fs/selinux
same "no policy: the kernel says MLS is off, and SELinux is permissive" "0 0" \
    "$(cat /sys/fs/selinux/mls) $(cat /sys/fs/selinux/enforce)"
same "no policy: libselinux says MLS is off" "mls 0
translations /etc/selinux/mls/setrans.conf" "$(mlsprobe)"
if built rawlabel; then
    claim "MLS off: rawlabel prints nothing" 255 "" "" -- rawlabel $C:SystemLow
    claim "MLS off: rawlabel of a raw context prints nothing" 255 "" "" -- rawlabel $C:s0:c0
fi
if built showlabel; then
    claim "MLS off: showlabel prints nothing" 255 "" "" -- showlabel $C:s0
fi

echo "== loading the policy"
claim "a policy written in pieces is refused" 1 "" $'cat: write error: Invalid argument\n' \
    -- sh -c 'cat /vm/policy >/sys/fs/selinux/load'
same "the policy still unloaded: MLS is off" "0" "$(cat /sys/fs/selinux/mls)"
claim "the policy in one write loads" 0 "" "" -- dd if=/vm/policy of=/sys/fs/selinux/load bs=16M status=none
same "the policy loaded: the kernel says MLS is on, and SELinux is permissive" "1 0" \
    "$(cat /sys/fs/selinux/mls) $(cat /sys/fs/selinux/enforce)"
same "the policy loaded: libselinux says MLS is on" "mls 1
translations /etc/selinux/mls/setrans.conf" "$(mlsprobe)"

echo "== the label programs on the worked examples"
if built rawlabel; then
    claim "rawlabel: a level" 0 "$C:s0"$'\n' "" -- rawlabel $C:SystemLow
    claim "rawlabel: a range whose ends are equal collapses" 0 "$C:s0"$'\n' "" -- rawlabel $C:SystemLow-SystemLow
    claim "rawlabel: a range" 0 "$C:s0-s15:c0.c1023"$'\n' "" -- rawlabel $C:SystemLow-SystemHigh
    claim "rawlabel: a level with a category" 0 "$C:s1:c2"$'\n' "" -- rawlabel $C:Secret:Red
    claim "rawlabel: a level and a category" 0 "$C:s0:c0"$'\n' "" -- rawlabel $C:SystemLow:Blue
    claim "rawlabel: two categories" 0 "$C:s0:c0,c1"$'\n' "" -- rawlabel $C:SystemLow:Blue,Green
    claim "rawlabel: a name for two categories" 0 "$C:s0:c0,c1"$'\n' "" -- rawlabel $C:SystemLow:Cyan
    claim "rawlabel: a name missing from the table" 0 "$C:SystemLow:Blue,Purple"$'\n' "" -- rawlabel $C:SystemLow:Blue,Purple
    claim "rawlabel: a raw context passes" 0 "$C:s0:c0"$'\n' "" -- rawlabel $C:s0:c0
    claim "rawlabel: no context" 255 "" "" -- rawlabel nocontext
    mv /etc/selinux/mls/setrans.conf /etc/selinux/mls/setrans.away
    claim "rawlabel: no translations file" 255 "" "" -- rawlabel $C:SystemLow
    mv /etc/selinux/mls/setrans.away /etc/selinux/mls/setrans.conf
fi
if built showlabel; then
    claim "showlabel: a level" 0 "$C:SystemLow"$'\n' "" -- showlabel $C:s0
    claim "showlabel: a range" 0 "$C:SystemLow-SystemHigh"$'\n' "" -- showlabel $C:s0-s15:c0.c1023
    claim "showlabel: a level with a category" 0 "$C:Secret:Red"$'\n' "" -- showlabel $C:s1:c2
    claim "showlabel: a name for two categories" 0 "$C:SystemLow:Cyan"$'\n' "" -- showlabel $C:s0:c0,c1
    claim "showlabel: a level missing from the table" 0 "$C:s9"$'\n' "" -- showlabel $C:s9
    claim "showlabel: an end that only category lines name stays as written" 0 "$C:SystemLow-s15"$'\n' "" -- \
        showlabel $C:s0-s15
fi

finish
