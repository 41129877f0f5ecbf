#!/usr/bin/env bash
# Builds a tree whose layers are right, then adds one include of each kind that must be refused,
# and expects the check to pass the first and refuse every other.
set -euo pipefail
check="$1"
tree=$(mktemp -d "${TMPDIR:-/tmp}/tessel-test-layers.XXXXXX")
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{platform,foundation,wire,logging,client,codec,tests}
echo '#include "platform/process.h"' > "$tree/foundation/ok.cc"
echo '#include "foundation/text.h"' > "$tree/wire/ok.h"
echo '#include "logging/logger.h"' > "$tree/tests/anything_test.cc"
echo '#include "wire/image_descriptor.h"' > "$tree/codec/ok.h"
python3 "$check" "$tree" || { echo "a tree without upward includes was refused"; exit 1; }

refused() {  # file text: the check must fail with the file in the tree, and name it
  local file="$tree/$1"
  mkdir -p "$(dirname "$file")"
  echo "$2" > "$file"
  if out=$(python3 "$check" "$tree" 2>&1); then
    echo "not refused: $1 with $2"; exit 1
  fi
  grep -q "${1%%/*}/" <<<"$out" || { echo "refused without naming $1: $out"; exit 1; }
  rm "$file"
}
refused foundation/up.cc '#include "logging/logger.h"'
refused client/worker_only.cc '#include "logging/logger.h"'
refused wire/up.h '  #  include "channel/block_channel.h"'
refused codec/out.cc '#include "foundation/text.h"'
refused newfolder/x.cc "#include \"platform/process.h\""
echo "every upward include was refused"
