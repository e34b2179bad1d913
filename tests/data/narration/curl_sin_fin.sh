#!/bin/sh
# A stand-in curl that ignores SIGTERM, leaves children holding its output open and never ends
# after half a reply. It notes its own pid and its children's.
trap '' TERM
cd "${0%/*}/.." || exit 1
echo $$ > pids
sleep 1000 & echo $! >> pids
printf '{"text": "a medias'
sleep 1000 & echo $! >> pids
wait
