#!/bin/sh
# A stand-in curl that ignores SIGTERM and leaves a child holding its output open, but ends after
# a whole reply. It notes its own pid and its child's.
trap '' TERM
cd "${0%/*}/.." || exit 1
echo $$ > pids
sleep 1000 & echo $! >> pids
cat reply
