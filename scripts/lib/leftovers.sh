# Sourced by the scripts: what Tessel's processes leave in shared places, so that a test run can
# prove it leaves nothing behind.

# leftovers: one line per shared-memory object of a session and per folder under the temporary
# folder that tests, tools or sessions make.
leftovers() {
  local tmp="${TMPDIR:-/tmp}"
  tmp="${tmp%/}"
  ls -d /dev/shm/TESSEL_SERVICE* 2>/dev/null || true
  ls -d "$tmp"/TESSEL/*/ "$tmp"/TESSEL/.*.new "$tmp"/TESSEL-*/*/ "$tmp"/TESSEL-*/.*.new \
    "$tmp"/tessel-test-* "$tmp"/tessel-logs-* 2>/dev/null | grep -Ev '/TESSEL(-[0-9]+)?/LOG/$' || true
}
