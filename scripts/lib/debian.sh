# Helpers for fetching from the Debian archive this machine's apt already
# uses, with apt state of our own so the system's lists stay as they are.
# Source it; it defines functions only.

# The archive URI from the machine's own apt sources.
debian_mirror() {
  local uri=""
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -r /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 ~ / main/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || { echo "no Debian archive found in the apt sources" >&2; return 1; }
  echo "$uri"
}

# debian_apt STATE_DIR ARCH LINE TOOL ARGS...
# Runs TOOL (apt-get or apt-cache) with a private source list holding LINE,
# for ARCH.
debian_apt() {
  local state=$1 arch=$2 line=$3 tool=$4
  shift 4
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  printf '%s\n' "$line" >"$state/sources.list"
  "$tool" -q \
    -oAPT::Architecture="$arch" -oAPT::Architectures="$arch" \
    -oDir::Etc::SourceList="$state/sources.list" -oDir::Etc::SourceParts=/dev/null \
    -oDir::State::Lists="$state/lists" -oDir::State::Status=/dev/null \
    -oDir::Cache="$state/cache" -oDebug::NoLocking=1 -oAPT::Sandbox::User=root \
    "$@"
}

# debian_orig DIR NAME: the upstream tarball that `apt-get source` put in DIR.
debian_orig() {
  ls "$1"/"$2"_*.orig.tar.* | grep -v '\.asc$' | head -n 1
}

debian_keyring=/usr/share/keyrings/debian-archive-keyring.gpg
