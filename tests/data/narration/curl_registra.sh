#!/bin/sh
# A stand-in curl that logs its arguments, its environment, the mode of the request's folder and
# the mode, type and content of the header file (argument 7) and the body (argument 12), then
# prints the reply file of the test's folder.
cd "${0%/*}/.." || exit 1
env > env
{
  printf '%s\n' "${0##*/}" "$@"
  h="${7#@}"
  b="${12#@}"
  stat -c '%a %F' "${h%/*}" "$h"
  cat "$h"
  stat -c '%a %F' "$b"
  cat "$b"
} > log
cat reply
