# Shared by the bench scripts (sourced, not run).

# need TOOL...: stops with the package to install when a tool is missing.
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$tool is needed (apt-get install $tool)"; exit 1; }
  done
}

# cli_in BUILD_DIR: the tessival-cli of that build, or stop.
cli_in() {
  local cli="$1/src/cli/tessival-cli"
  [ -x "$cli" ] || { echo "build tessival-cli first ($cli)" >&2; exit 1; }
  echo "$cli"
}

# median NUMBER...: the middle value (the upper one of an even count).
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
