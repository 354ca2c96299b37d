#!/bin/bash
# The Debian package as an administrator gets it. Four steps, one CTest test
# each (the first is the others' fixture):
#   build    cpack -G DEB from the build, then dpkg-deb -x and -e of the
#            .deb into a scratch root
#   contents the programs (each answering --help), their manual pages, the
#            unit, the sample, the copyright file, the changelog, the
#            logrotate rule and the maintainer scripts are where they belong
#   unit     systemd-analyze verify of the unit, on a copy whose program
#            paths point into the scratch root (the package is not installed
#            here); 77 (skipped) where the tool is missing or does not work
#   lintian  lintian on the .deb: no error and no warning, but for those the
#            package overrides (packaging/linux/debian/lintian-overrides),
#            each with a comment saying why; 77 where lintian is missing
# Usage: deb_package_test.sh build|contents|unit|lintian BUILD_DIR WORK_DIR PREFIX
set -u

mode=$1 build=$2 work=$3 prefix=$4
root=$work/root
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
need() {
  command -v "$1" >/dev/null 2>&1 || { echo "no $1 here: skipped"; exit 77; }
}

case $mode in
build)
  need cpack
  need dpkg-deb
  rm -rf "$work"
  mkdir -p "$work/out"
  if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
  fi
  debs=("$work"/out/*.deb)
  if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: cpack made ${#debs[@]} packages: ${debs[*]}" >&2
    exit 1
  fi
  dpkg-deb -x "${debs[0]}" "$root" || exit 1
  dpkg-deb -e "${debs[0]}" "$work/control" || exit 1
  dpkg-deb -f "${debs[0]}" >"$work/fields" || exit 1
  echo "built and unpacked ${debs[0]}"
  exit 0
  ;;

contents)
  for program in vesprec vesper-sim vreccfg; do
    path=$root$prefix/bin/$program
    if [ ! -x "$path" ]; then
      fail "$prefix/bin/$program missing or not executable"
      continue
    fi
    help=$("$path" --help 2>&1) || fail "$program --help exits $?"
    case $help in *Usage*) ;; *) fail "$program --help shows no usage: $help" ;; esac
    page=$root$prefix/share/man/man1/$program.1.gz
    if [ ! -f "$page" ]; then
      fail "no manual page $prefix/share/man/man1/$program.1.gz"
    elif ! gzip -t "$page"; then
      fail "$program.1.gz is not gzip"
    else
      head=$(gzip -dc "$page" | grep -m1 '^\.TH')
      upper=$(echo "$program" | tr '[:lower:]' '[:upper:]')
      case $head in ".TH $upper 1 "*) ;; *) fail "$program.1: title line '$head'" ;; esac
      case $head in *@VERSION@*) fail "$program.1: version not filled in" ;; esac
    fi
  done

  unit=$root$prefix/lib/systemd/system/vesprec@.service
  if [ ! -f "$unit" ]; then
    fail "no unit $prefix/lib/systemd/system/vesprec@.service"
  else
    # What the service needs to be: each line as the unit must hold it.
    while IFS= read -r line; do
      grep -qxF -- "$line" "$unit" || fail "the unit lacks: $line"
    done <<LINES
ExecStart=$prefix/bin/vesprec --dir /etc/vesprec/%i
ExecReload=/bin/kill -HUP \$MAINPID
User=vesprec
SupplementaryGroups=dialout
Restart=on-failure
WorkingDirectory=/etc/vesprec/%i
Environment=XDG_RUNTIME_DIR=/run/vesprec
RuntimeDirectory=vesprec
RuntimeDirectoryPreserve=yes
WantedBy=multi-user.target
LINES
  fi
  # vesprec ctl looks for the service's sockets where the unit puts them.
  grep -q 'kServiceRuntimeDir = "/run/vesprec"' "$5/src/ui/control_socket_posix.h" ||
    fail "ctl no longer looks in /run/vesprec: the unit's RuntimeDirectory must follow"

  [ -f "$root$prefix/share/doc/vesper-recorder/examples/VESPREC.INI" ] ||
    fail "no sample VESPREC.INI in $prefix/share/doc/vesper-recorder/examples"

  for script in postinst prerm postrm; do
    if [ ! -x "$work/control/$script" ]; then
      fail "no executable $script in the package"
    elif ! sh -n "$work/control/$script"; then
      fail "$script: not valid sh"
    fi
  done
  grep -q 'adduser --system' "$work/control/postinst" || fail "postinst makes no system user"
  grep -q 'useradd --system' "$work/control/postinst" || fail "postinst has no useradd fallback"
  grep -q 'dialout' "$work/control/postinst" || fail "postinst does not add the user to dialout"
  grep -q '^Depends:.*adduser' "$work/fields" || fail "the package does not depend on adduser"
  grep -q '^Package: vesper-recorder$' "$work/fields" || fail "package name: $(grep ^Package "$work/fields")"
  # dpkg-shlibdeps found the libraries the programs link.
  grep -q '^Depends:.*libc6 (>= ' "$work/fields" || fail "no Depends on libc6: $(grep ^Depends "$work/fields")"
  grep -q '^Depends:.*libstdc++6 (>= ' "$work/fields" || fail "no Depends on libstdc++6"

  doc=$root/usr/share/doc/vesper-recorder
  if [ ! -f "$doc/copyright" ]; then
    fail "no /usr/share/doc/vesper-recorder/copyright"
  else
    head -n1 "$doc/copyright" | grep -qxF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
      fail "copyright is not in the machine-readable format"
    grep -q '^Files: \*$' "$doc/copyright" || fail "copyright has no Files: * paragraph"
  fi
  version=$(sed -n 's/^Version: //p' "$work/fields")
  changelog=$doc/changelog.gz
  if [ ! -f "$changelog" ]; then
    fail "no /usr/share/doc/vesper-recorder/changelog.gz"
  elif ! gzip -t "$changelog"; then
    fail "changelog.gz is not gzip"
  else
    # gzip -n: no name and a zero time stamp (bytes 4 to 7), so that two
    # builds of one tree give the same package.
    [ "$(od -An -tx1 -j3 -N5 "$changelog" | tr -d ' ')" = 0000000000 ] ||
      fail "changelog.gz keeps a file name or a time stamp (gzip -n)"
    top=$(gzip -dc "$changelog" | head -n1)
    case $top in
      "vesper-recorder ($version) "*) ;;
      *) fail "the changelog's latest entry is not for $version: $top" ;;
    esac
  fi

  rule=$root/etc/logrotate.d/vesper-recorder
  if [ ! -f "$rule" ]; then
    fail "no /etc/logrotate.d/vesper-recorder"
  else
    grep -q '^/var/log/vesprec/\*\.log {$' "$rule" || fail "the logrotate rule is not for /var/log/vesprec/*.log"
    # A rename is all the recorder needs; copytruncate could lose a line.
    if grep -E '^[[:space:]]*(copytruncate|postrotate|prerotate)' "$rule"; then
      fail "the logrotate rule copies, truncates or signals"
    fi
  fi
  grep -qxF /etc/logrotate.d/vesper-recorder "$work/control/conffiles" 2>/dev/null ||
    fail "the logrotate rule is not a conffile"

  # The unit's instances are started and stopped through deb-systemd-invoke,
  # never systemctl (but for daemon-reload), behind debhelper's guards.
  for script in postinst prerm postrm; do
    if grep -nE '(^|[;&|[:space:]])systemctl[[:space:]]' "$work/control/$script" | grep -v daemon-reload; then
      fail "$script calls systemctl for more than daemon-reload"
    fi
  done
  grep -q "deb-systemd-invoke stop 'vesprec@\*.service'" "$work/control/prerm" ||
    fail "prerm does not stop the instances through deb-systemd-invoke"
  grep -q "deb-systemd-invoke restart 'vesprec@\*.service'" "$work/control/postinst" ||
    fail "postinst does not restart the instances after an upgrade"
  for script in postinst prerm; do
    { grep -q 'DPKG_ROOT' "$work/control/$script" && grep -q '/run/systemd/system' "$work/control/$script"; } ||
      fail "$script: deb-systemd-invoke without the DPKG_ROOT and /run/systemd/system guards"
  done
  ;;

unit)
  need systemd-analyze
  probe=$work/probe
  rm -rf "$probe"
  mkdir -p "$probe"
  printf '[Service]\nType=oneshot\nExecStart=/bin/true\n' >"$probe/probe.service"
  if ! systemd-analyze verify "$probe/probe.service" >"$probe/log" 2>&1; then
    echo "systemd-analyze verify does not work here: skipped"
    cat "$probe/log"
    exit 77
  fi
  # An instance of the template, its programs in the scratch root; the
  # Documentation= page is looked up there too (man, when it is here).
  sed -e "s|^ExecStart=$prefix/bin/|ExecStart=$root$prefix/bin/|" \
    "$root$prefix/lib/systemd/system/vesprec@.service" >"$probe/vesprec@check.service"
  grep -q "^ExecStart=$root" "$probe/vesprec@check.service" ||
    { echo "FAIL: no ExecStart to point into the scratch root" >&2; exit 1; }
  man_option=()
  command -v man >/dev/null 2>&1 || man_option=(--man=no)
  if ! MANPATH=$root$prefix/share/man systemd-analyze verify "${man_option[@]}" \
    "$probe/vesprec@check.service" >"$probe/verify.log" 2>&1; then
    cat "$probe/verify.log" >&2
    fail "systemd-analyze verify vesprec@check.service"
  elif [ -s "$probe/verify.log" ]; then
    # Warnings are faults of the unit as well.
    cat "$probe/verify.log" >&2
    fail "systemd-analyze verify warned"
  fi
  ;;

lintian)
  need lintian
  debs=("$work"/out/*.deb)
  # Every override says why, in a comment just above it (lintian shows it
  # with --show-overrides).
  overrides=$root/usr/share/lintian/overrides/vesper-recorder
  if [ -f "$overrides" ]; then
    unexplained=$(awk '/^[[:space:]]*#/ { said = 1; next }
                       /^[[:space:]]*$/ { said = 0; next }
                       { if (!said) print FILENAME ":" FNR ": " $0; said = 0 }' "$overrides")
    [ -z "$unexplained" ] || fail "overrides without a comment:
$unexplained"
  fi
  # --no-cfg: no one's lintianrc changes what is checked; the Debian
  # profile wherever it runs. Overridden tags do not count (but they would
  # with --show-overrides, which lintian 2.116 counts as shown tags).
  lintian --no-cfg --profile debian --fail-on error,warning \
    --tag-display-limit 0 "${debs[0]}" >"$work/lintian.log" 2>&1
  status=$?
  cat "$work/lintian.log"
  case $status in
    0) ;;
    2) fail "lintian: an error or a warning not overridden" ;;
    *) fail "lintian did not run (exit $status)" ;;
  esac
  ;;

*)
  echo "usage: $0 build|contents|unit|lintian BUILD_DIR WORK_DIR PREFIX [SOURCE_DIR]" >&2
  exit 2
  ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s)" >&2
  exit 1
fi
echo "ok"
