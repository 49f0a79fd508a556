# Configures CMake presets of this checkout. Source it; it defines
# functions only.

# configure PRESET...: `cmake --preset` each. A build folder configured
# where the checkout used to be (moved or renamed) is one CMake refuses to
# use: it is configured afresh, with a line that says so.
configure() {
  local preset cache
  for preset in "$@"; do
    cache=build/$preset/CMakeCache.txt
    if [ -f "$cache" ] && ! grep -qxF -e "CMAKE_HOME_DIRECTORY:INTERNAL=$PWD" \
      -e "CMAKE_HOME_DIRECTORY:INTERNAL=$(pwd -P)" "$cache"; then
      echo "build/$preset was configured in $(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache"): configuring it afresh here" >&2
      rm -rf "build/$preset"
    fi
    cmake --preset "$preset" >/dev/null
  done
}
