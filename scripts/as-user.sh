# Sourced by the scripts, from the top of the checkout. Run under sudo in a checkout of the user
# who asked, a script builds as that user and hands back what it wrote there as root, so that the
# checkout stays theirs and a later run of theirs without sudo can write everything in it.
#
#   "${as_user[@]}" COMMAND...   runs COMMAND as that user (as it is, otherwise)
#   give_back PATH...            makes PATH, and everything in it, that user's again
#   checkout_user                the user's name; empty when the script runs as the checkout's owner
checkout_user=""
as_user=()
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] &&
  [ "$(stat -c %U .)" = "$SUDO_USER" ]; then
  checkout_user=$SUDO_USER
  as_user=(runuser -u "$SUDO_USER" --)
fi

give_back() {
  [ -n "$checkout_user" ] || return 0
  local path
  for path in "$@"; do
    if [ -e "$path" ] || [ -L "$path" ]; then
      chown -R -h "$checkout_user:" "$path"
    fi
  done
}
