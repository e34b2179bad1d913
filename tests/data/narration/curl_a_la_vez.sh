#!/bin/sh
# A slow stand-in curl that notes the folder of the request it was given, so that two requests
# made at once overlap.
cd "${0%/*}/.." || exit 1
echo "${7%/*}" >> folders
sleep 0.3
cat "${12#@}" > /dev/null && cat reply
