# The scrap board under a private X server: copies made with xclip land on
# the board as they happen, a password offered with its password-manager
# marker does not, a line copied with its HTML is kept as rich text, the board can be searched, and a scrap copied back is
# not saved again. Sourced by scripts/demo.

step "The scrap board: a private X server, the board enabled, the application watching"
xvfb_fd=$(mktemp "$HOME/xvfb-display-XXXXXX")
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$xvfb_fd" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$xvfb_fd" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$xvfb_fd")"
echo "Xvfb on $DISPLAY"
appr junk settings JunkEnabledLocally on
"$app" --scripts "$scripts" run > "$HOME/run-junk.log" 2>&1 &
junk_app_pid=$!
sleep 4

clip() { printf '\033[2m$ xclip -selection clipboard %s\033[0m\n' "$*"; xclip -selection clipboard "$@"; sleep 0.5; }
step "Copying a text, a link, an image and three files"
printf 'Call the plumber about the boiler on Thursday' > "$HOME/note.txt"
clip -t UTF8_STRING -i "$HOME/note.txt"
printf 'https://example.org/boiler-manual.pdf' > "$HOME/link.txt"
clip -t UTF8_STRING -i "$HOME/link.txt"
printf '\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x04\x00\x00\x00\x03\x08\x02\x00\x00\x00;\x969\x91\x00\x00\x00\x10IDATx\x9cc8!\x27\x07G\x0c89\x00\xf5\xc7\x0c1\x07\xeb\xad\x99\x00\x00\x00\x00IEND\xaeB`\x82' > "$HOME/red.png"
clip -t image/png -i "$HOME/red.png"
mkdir -p "$HOME/Documents"
for f in invoice.pdf receipt.pdf warranty.pdf; do echo "$f" > "$HOME/Documents/$f"; done
printf 'file://%s/Documents/%s\r\n' "$HOME" invoice.pdf "$HOME" receipt.pdf "$HOME" warranty.pdf > "$HOME/files.uris"
clip -t text/uri-list -i "$HOME/files.uris"

step "Copying a password from a password manager (offered with its marker)"
printf '\033[2m$ selection_owner UTF8_STRING=Tr0ub4dor-demo x-kde-passwordManagerHint=secret\033[0m\n'
"$root/build/tests/e2e/x11_selection_owner" "UTF8_STRING=Tr0ub4dor-demo" "x-kde-passwordManagerHint=secret" >/dev/null &
owner_pid=$!
sleep 1

step "Copying a formatted line from a web page (HTML offered beside the plain text)"
printf '\033[2m$ selection_owner UTF8_STRING=... text/html=...\033[0m\n'
"$root/build/tests/e2e/x11_selection_owner" "UTF8_STRING=Boiler service is due in March" \
  "text/html=<p>Boiler service is <b>due in March</b></p>" >/dev/null &
rich_pid=$!
sleep 1

step "The board: five scraps (one of them rich text), and the password is nowhere in the state folder"
appr junk list
appr junk list --filter rich
if grep -rq 'Tr0ub4dor-demo' "$HOME/.brimvale"; then
  echo "The password was written to disk."; exit 1
fi
echo "grep -r Tr0ub4dor-demo ~/.brimvale: no match"

step "Searching the board"
appr junk search "boiler"

step "Copying a scrap back: other programs paste it, and the board does not grow"
scrap_id=$("$app" --scripts "$scripts" junk list | awk '/Call the plumber/ {print $1}')
appr junk copy "$scrap_id"
sleep 1
printf '\033[2m$ xclip -selection clipboard -o\033[0m\n'
xclip -selection clipboard -o; echo
appr junk list

kill "$owner_pid" "$rich_pid" 2>/dev/null || true
kill -TERM "$junk_app_pid"
wait "$junk_app_pid" || true
grep -i 'junk\|scrap' "$HOME/run-junk.log" | sed 's/^/  run | /' || true
kill "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null || true
unset DISPLAY
