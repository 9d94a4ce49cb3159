# Cloud transfers, sourced by scripts/demo in its sandbox: an SFTP server on
# 127.0.0.1 (random port and password), an account whose password goes from
# standard input into the encrypted vault, a copy up with progress, a look
# through the remote browser, and a one-way sync back down to a new folder.

# rclone keeps its remote definitions in the sandbox home only.
export RCLONE_CONFIG="$HOME/.config/rclone/rclone.conf"
sftp_root="$HOME/sftp-server"
mkdir -p "$sftp_root"
sftp_pass=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
sftp_port=
for _ in 1 2 3 4 5; do
  candidate=$(shuf -i 20000-60000 -n 1)
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then sftp_port=$candidate; break; fi
done

step "Cloud: an SFTP server on 127.0.0.1:$sftp_port for the demo (stopped at the end)"
# The server's password travels in its environment, not on its command line.
RCLONE_USER=demo RCLONE_PASS="$sftp_pass" rclone serve sftp "$sftp_root" \
  --addr "127.0.0.1:$sftp_port" > "$HOME/sftp-server.log" 2>&1 &
sftp_pid=$!
trap 'kill "$sftp_pid" 2>/dev/null || true; rm -rf "$HOME"' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$sftp_port") 2>/dev/null && break
  sleep 0.1
done

step "Adding the account: the password comes from standard input and is kept in the vault"
appr remotes add sftp demo-sftp --host 127.0.0.1 --port "$sftp_port" --user demo <<< "$sftp_pass"
appr remotes
appr remotes test demo-sftp
if ls "$HOME/.brimvale/secrets/vault.enc" >/dev/null 2>&1 && ! grep -q "$sftp_pass" "$HOME/.brimvale/secrets/vault.enc"; then
  echo "  the vault holds the password encrypted (not readable in the file)"
fi

step "Copying a folder up to the account, with progress (throttled to 4 MB/s to watch it)"
mkdir -p "$HOME/Pictures/Trip"
for i in $(seq 1 12); do head -c 3000000 /dev/urandom > "$HOME/Pictures/Trip/photo-$i.jpg"; done
appr transfers new "$HOME/Pictures/Trip" demo-sftp:Trip --mode copy --bwlimit 4M

step "The remote browser shows it on the server"
appr remotes browse demo-sftp:
appr remotes browse demo-sftp:Trip

step "Syncing it back down to a second folder, then comparing"
appr transfers new demo-sftp:Trip "$HOME/Restored/Trip" --mode sync --yes
if diff -r "$HOME/Pictures/Trip" "$HOME/Restored/Trip" >/dev/null; then
  echo "  the restored folder is identical to the original"
else
  echo "  the restored folder differs from the original"
fi
appr transfers history

step "Stopping the SFTP server"
kill "$sftp_pid" 2>/dev/null || true
wait "$sftp_pid" 2>/dev/null || true
echo "  stopped"
