#!/usr/bin/env bash
# Walking a big tree: 100,000 files in 10,000 folders, quorvane-cli --dry-run against find.
source "$(dirname "$0")/common.sh"
folders=${FOLDERS:-10000}
per_folder=${FILES_PER_FOLDER:-10}
ensure_build
make_work
python3 - "$work/tree" "$folders" "$per_folder" <<'PY'
import os, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(folders):
    d = os.path.join(root, f"artist{i // 100:03d}", f"album{i % 100:02d}")
    os.makedirs(d, exist_ok=True)
    for j in range(per):
        ext = ".m4a" if j % 5 else ".jpg"
        open(os.path.join(d, f"track{j:02d}{ext}"), "w").close()
PY
echo "walk: $((folders * per_folder)) files in about $folders folders, $runs runs each"
machine
measure find find "$work/tree" -iname '*.m4a'
measure "cli --dry-run" "$cli" --dry-run "$work/tree"
echo "  rows: find $(find "$work/tree" -iname '*.m4a' | wc -l), cli $("$cli" --dry-run "$work/tree" | wc -l)"
echo "  cli / find: $(ratio "cli --dry-run" find)   (target <= 1.5)"
