# SPDX-License-Identifier: MIT
#
# Shell shared by flashmac-ifaddr and flashmac-provision (sourced, never
# run): standard descriptors, finding flashmac and the partition, reading
# the record and checking an address. The caller sets `me` first.

# here, me and part come from the sourcing script; n, where, name ... are
# set for it.
# shellcheck disable=SC2154,SC2034
set -f
# Started by init or a station's script with standard descriptors closed,
# whatever runs next could take their places: stdin is never read, the
# others write nowhere.
if [ -c /dev/null ]; then
  exec </dev/null
  if [ -d /proc/self/fd ]; then
    [ -e /proc/self/fd/1 ] || exec >/dev/null
    [ -e /proc/self/fd/2 ] || exec 2>/dev/null
  fi
fi
# Init may give a short PATH; flashmac is installed beside the helpers.
PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
flashmac=$here/flashmac
[ -x "$flashmac" ] || flashmac=flashmac

die() {
  echo "$me: $*" >&2
  exit 1
}
# Its argument's words on one line (no globbing: set -f).
# shellcheck disable=SC2086,SC2048
words() { echo $*; }

# Polls until the test "$@" holds, for what is left of the wait (in fifths
# of a second, shared by every wait of the run; `left` starts it).
left=0
await() {
  while ! "$@"; do
    [ "$left" -gt 0 ] || return 1
    if sleep 0.2 2>/dev/null; then left=$((left - 1)); else sleep 1; left=$((left - 5)); fi
  done
}

# The /proc/mtd line of the partition named $part, whose lines read
# `mtd3: 00040000 00010000 "factory"`, the name compared whole; or of
# number $part. Sets n (its number), where (how messages name it), name,
# size and erasesize (bytes).
lookup() {
  line=$(P=$part awk '{ q = match($0, /".*"$/) ? substr($0, RSTART + 1, RLENGTH - 2) : "" }
    ENVIRON["P"] ~ /^[0-9]+$/ ? $1 == "mtd" ENVIRON["P"] ":" : q == ENVIRON["P"] {
      sub(/:$/, "", $1); sub(/^mtd/, "", $1); print $1, $2, $3, q; exit }' /proc/mtd 2>/dev/null)
  [ -n "$line" ] || return 1
  read -r n size erasesize name <<EOF
$line
EOF
  size=$((0x$size)) erasesize=$((0x$erasesize))
  case $part in
    '' | *[!0-9]*) where="mtd$n ($part)" ;;
    *) where=mtd$n ;;
  esac
}

# Runs flashmac with "$@" (the partition's number first). flashmac writes
# its errors at once and the address when it exits, so the address is what
# follows the last line break. Sets mac, and err to flashmac's messages on
# one line (empty when it printed an address and nothing else).
record() {
  all=$("$flashmac" "$@" 2>&1)
  mac=${all##*
}
  err=${all%"$mac"}
  h='[0-9A-F][0-9A-F]'
  # shellcheck disable=SC2254 # a pattern
  case $mac in
    $h:$h:$h:$h:$h:$h) ;;
    *) err=${all:-"no address printed"} ;;
  esac
  err=$(words "$err")
}

# Why the printed address $1 can't be a device's own, if it can't.
not_unicast() {
  case $1 in
    00:00:00:00:00:00) echo "no address (all zeros)" ;;
    FF:FF:FF:FF:FF:FF) echo "no address (erased: FF:FF:FF:FF:FF:FF)" ;;
    # The group bit, the lowest bit of the first octet.
    *) [ $((0x${1%%:*} & 1)) -eq 0 ] || echo "a multicast address" ;;
  esac
}
