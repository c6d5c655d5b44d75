# Every record of the probe_json scenario is valid against the published schema.
set -euo pipefail
dir=$1
schema=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/docs/corvane-events.schema.json
python3 - "$schema" "$dir/records.json" <<'PY'
import json, sys
import jsonschema

schema = json.load(open(sys.argv[1]))
validator = jsonschema.Draft7Validator(schema)
kinds = {}
with open(sys.argv[2]) as records:
    for number, line in enumerate(records, 1):
        record = json.loads(line)
        errors = sorted(validator.iter_errors(record), key=str)
        if errors:
            sys.exit(f"line {number} ({record.get('event')}): {errors[0].message}")
        kinds[record["event"]] = kinds.get(record["event"], 0) + 1
wanted = {"started", "write", "mount", "double_mount", "unmount", "watched_set_changed", "lost", "stopped"}
missing = wanted - kinds.keys()
if missing:
    sys.exit(f"no record of {sorted(missing)}")
print("valid against the schema:", ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
PY
