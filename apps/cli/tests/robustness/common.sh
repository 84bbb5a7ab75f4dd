# Shared by the robustness scripts, sourced with the binary's path as $1: `bin`, a scratch
# folder as the working directory (removed on exit), `fail` to count a failed check, the
# tenant the fixtures use and `write_schema`.
bin="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
tenant=4f6a8c2e-1b3d-4e5f-9a7b-2c4d6e8f0a1b
# schema.json: one source whose events are logins of users with one public field "n".
write_schema() {
  cat >schema.json <<'JSON'
{"source_name": "s", "product_id": "edge", "sensitive_approved": false,
 "event_types": {"login": "security_metadata"}, "statuses": {"ok": "public"},
 "subject_kinds": {"user": "pseudonymous_identifier"}, "fields": {"n": "public"}}
JSON
}
