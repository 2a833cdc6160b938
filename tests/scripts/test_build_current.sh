#!/usr/bin/env bash
# When scripts/test.sh and scripts/build.sh configure and build, with
# stand-ins for the set-up, cmake, ctest and the summary (copies of the two
# scripts run in a tree of their own): a run with arguments configures
# again only a build directory never configured, or configured before the
# set-up last changed the machine (the Wine root's stamp newer than the
# last configure), and builds only where a source or CMake's cache changed
# since the last complete build, or that build failed; a whole run always
# configures and builds. Nothing is installed or built.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=checks.sh
. "$root/tests/scripts/checks.sh" build-current

tree="$work/tree"
mkdir -p "$tree/scripts" "$tree/tests" "$work/bin" "$work/wine-root"
cp "$root/scripts/test.sh" "$root/scripts/build.sh" "$root/scripts/steps.sh" \
   "$root/scripts/wine-root-place.sh" "$tree/scripts/"
log="$work/calls.log"
cat > "$tree/scripts/setup.sh" <<EOF
#!/usr/bin/env bash
echo "setup \$*" >> "$log"
EOF
echo 'import sys; sys.exit(0)' > "$tree/tests/suite_counts.py"
for tool in cmake ctest; do
  cat > "$work/bin/$tool" <<EOF
#!/usr/bin/env bash
echo "$tool \$*" >> "$log"
# A configure writes CMake's cache, as CMake does; FAKE_BUILD_FAILS makes
# the build fail.
if [ "$tool" = cmake ] && [ "\$1" = -S ]; then mkdir -p "\$4"; echo cache > "\$4/CMakeCache.txt"; fi
if [ "$tool" = cmake ] && [ "\$1" = --build ] && [ -n "\${FAKE_BUILD_FAILS:-}" ]; then exit 2; fi
exit 0
EOF
  chmod +x "$work/bin/$tool"
done
build="$work/build"
export PATH="$work/bin:$PATH" VOLUMES_BUILD_DIR="$build" VOLUMES_WINE_ROOT="$work/wine-root"
stamp="$work/wine-root/.volumes-wine-root"

# Runs scripts/test.sh ARGS...; prints the calls it made.
run_tests() {
  rm -f "$log"
  bash "$tree/scripts/test.sh" "$@" >/dev/null 2>"$work/stderr" || fail "test.sh $* failed: $(cat "$work/stderr")"
  cat "$log"
}

# Never configured: configured and built, even with arguments.
calls=$(run_tests -R one)
expect "a first run with arguments" "$calls" '^setup --test$' "^cmake -S $tree -B $build" \
  "^cmake --build $build" '^ctest .*-R one$'

# Nothing changed since that build: only the set-up's check and CTest.
touch -d '2000-01-01' "$stamp"
calls=$(run_tests -R one)
expect "a run with arguments on a current build" "$calls" '^setup --test$' '^ctest .*-R one$'
refuse "a run with arguments on a current build" "$calls" '^cmake'
expect "what the build says" "$(cat "$work/stderr")" "^build: built already in $build"

# A source changed: the build's own check, without configuring again.
touch -d '+1 hour' "$tree/tests/suite_counts.py"
calls=$(run_tests -R one)
expect "a run with arguments after a source changed" "$calls" "^cmake --build $build" '^ctest .*-R one$'
refuse "a run with arguments after a source changed" "$calls" '^cmake -S'
expect "what the build says then" "$(cat "$work/stderr")" "^build: configured already in $build"
touch -d '2000-01-01' "$tree/tests/suite_counts.py"
# So does CMake's cache, changed by hand.
touch -d '+1 hour' "$build/CMakeCache.txt"
calls=$(run_tests -R one)
expect "a run with arguments after the cache changed" "$calls" "^cmake --build $build"
refuse "a run with arguments after the cache changed" "$calls" '^cmake -S'
touch -d '2000-01-01' "$build/CMakeCache.txt"

# A build that failed leaves no stamp: the next run builds, though the
# source that made it build is old again.
touch -d '+1 hour' "$tree/tests/suite_counts.py"
FAKE_BUILD_FAILS=1 bash "$tree/scripts/test.sh" -R one >/dev/null 2>&1 && fail "test.sh passed a failed build"
touch -d '2000-01-01' "$tree/tests/suite_counts.py"
calls=$(run_tests -R one)
expect "a run with arguments after a failed build" "$calls" "^cmake --build $build"

# The set-up changed the machine after the last configure (here: the Wine
# root was built anew): configured again, and built.
touch -d '+2 hours' "$stamp"
calls=$(run_tests -R one)
expect "a run with arguments after the set-up changed something" "$calls" "^cmake -S $tree -B $build" \
  "^cmake --build $build"
touch -d '2000-01-01' "$stamp"

# Not configured by build.sh (by hand, say): configured.
rm "$build/volumes-configured.stamp"
calls=$(run_tests -R one)
expect "a run with arguments on a build configured by hand" "$calls" "^cmake -S $tree -B $build"

# A whole run configures and builds whatever the times say.
calls=$(run_tests)
expect "a whole run" "$calls" "^cmake -S $tree -B $build" "^cmake --build $build" '^ctest --output-on-failure --timeout 600 -j2$'

# build.sh without the option configures too; it passes -v on.
rm -f "$log"
bash "$tree/scripts/build.sh" --test -v >/dev/null 2>&1 || fail "build.sh --test -v failed"
expect "build.sh without --if-configured" "$(cat "$log")" '^setup --test$' "^cmake -S $tree -B $build"
bash "$tree/scripts/build.sh" --bogus >/dev/null 2>&1 && fail "build.sh accepted --bogus"

finish "a run with arguments configures only where needed, a whole run always"
