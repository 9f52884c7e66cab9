# Sourced by the CI stage scripts: `stage NAME` prints "== NAME (Ns; Ms in
# all)", the seconds since the stage before and since the script started.
start=$(date +%s)
stage_start=$start
stage() {
  local now
  now=$(date +%s)
  printf '== %s (%ds; %ds in all)\n' "$1" $((now - stage_start)) $((now - start))
  stage_start=$now
}
