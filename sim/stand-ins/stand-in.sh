# Shared by the stand-ins for the device's programs (sourced, not run).
#
# Every call is one line in the device's call log, var/log/calls: the program
# and each argument in brackets, so empty ones show ("ez-ipupdate [-i] [ppp0]
# [-b] [] ..."). A line is appended with a single write, so calls that run at
# the same time never interleave. A newline or CR inside an argument is written
# as \n or \r, and a backslash as \\, to keep one call on one line.
#
# DEVSIM_NET is "private" inside a sandbox with its own network and "host"
# under --host-net: a stand-in that ever touches the kernel's network must check
# it first.

prog=${0##*/}
here=${0%/*}
[ "${here#/}" = "$here" ] && here=$(cd "$here" && pwd)
case $here in
  */usr/sbin | */usr/bin) root=${here%/usr/*} ;;
  */sbin | */bin) root=${here%/*} ;;
  *) root=$here ;;
esac
calls=$root/var/log/calls

# The arguments as the call log shows them, "[a] [] [c]", into $args.
args_text() {
  local a
  args=''
  for a; do
    a=${a//\\/\\\\}
    a=${a//$'\n'/\\n}
    a=${a//$'\r'/\\r}
    args+="${args:+ }[$a]"
  done
}

log_call() {
  args_text "$@"
  [ -d "${calls%/*}" ] || mkdir -p "${calls%/*}"
  printf '%s\n' "$prog${args:+ $args}${extra:+ $extra}" >>"$calls"
}

# A tool's run that did its work.
accept() {
  log_call "$@"
  exit 0
}

# A tool called with an argument list the device's callers never use.
reject() {
  extra=rejected log_call "$@"
  printf '%s: unexpected arguments: %s\n' "$prog" "$args" >&2
  exit 2
}

# A daemon: logs its start, then stays up under its own process name until a
# signal ends it. The sleeper is a link named after the program, so the name
# the kernel shows for the process stays the program's.
daemon() {
  log_call "$@"
  exec "$root/usr/lib/devsim/$prog" infinity
}
