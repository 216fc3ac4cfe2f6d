#!/usr/bin/env bash
# Which way dependencies point, checked on the sources: each rule names the files it covers and the
# includes they must not have. The build's include paths enforce most of this already; this also
# catches what a path cannot (system headers, relative includes) and says which rule broke.
#   tests/rules/include_rules.sh [source root]
set -uo pipefail
src="${1:-$(dirname "$0")/../../src}"
cd "$src" || exit 2
broken=0

# rule <description> <include pattern (extended regex)> <folder>...
rule() {
  local what="$1" pattern="$2"
  shift 2
  local hits
  hits=$(grep -rEn --include='*.h' --include='*.cpp' "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($pattern)" "$@" 2>/dev/null)
  if [ -n "$hits" ]; then
    echo "broken: $what"
    echo "$hits" | sed 's/^/  /'
    broken=1
  fi
}

concerns=(agent bridge input capture permissions ui)
posix='unistd\.h|pthread\.h|fcntl\.h|dirent\.h|pwd\.h|signal\.h|spawn\.h|poll\.h|dlfcn\.h|sys/'
toolkits='Q[A-Za-z]+|qt|X11/|xcb/|wayland-|spdlog/|fmt/'

rule "nothing outside app/ includes app/" 'app/|\.\./' base "${concerns[@]}" platform
rule "the concerns know no backend" 'platform/(linux|qt|wayland)/' "${concerns[@]}" base
rule "the concerns know no toolkit, X client library or POSIX header" "$toolkits|$posix" "${concerns[@]}"
rule "base/ is plain C++ (its log hides spdlog in log.cpp)" "$toolkits|$posix" base/*.h
rule "a backend knows no concern" '(agent|bridge|input|capture|permissions|ui)/' platform
rule "the Qt backend knows no other backend" 'platform/(linux|wayland)/' platform/qt
rule "the Linux backend knows no other backend" 'platform/(qt|wayland)/' platform/linux
rule "the controller names no backend (only the composition root does)" 'platform/(linux|qt|wayland)/' \
  $(ls app/*.h app/*.cpp | grep -vE '^app/(main\.cpp|linux_platform_services\.(h|cpp))$')

if ((broken)); then exit 1; fi
echo "include rules hold"
