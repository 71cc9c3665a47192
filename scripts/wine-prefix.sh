# Sourced by the scripts that run the Windows build under Wine: makes the
# Wine prefix of a test run, the same way for all of them.
#
#   source scripts/wine-prefix.sh
#   prepare_wine_prefix DIR          reuses DIR when this file made it as it is now
#   prepare_wine_prefix DIR fresh    always makes it anew
#
# Exports WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES. What a prefix gets beyond
# Wine's defaults, and why:
# - Fonts. A new prefix of Debian's Wine has none of Wine's own faces, so
#   Verdana, Tahoma and MS Shell Dlg 2 all fall to fontconfig's choice,
#   DejaVu Sans, in whose mark-to-ligature positioning Wine's shaper reads a
#   wild pointer when a line starts with a small tilde (Windows-1252 0x98):
#   any window showing such a text crashes. The three faces are replaced by
#   Nimbus Sans (fonts-urw-base35), which carries pair kerning only. Wine
#   draws the title bar's buttons in Marlett, one of its own faces (fonts-wine),
#   copied in for them.
# - Crashes. Wine's crash debugger shows a dialog and waits for a click that
#   never comes on a virtual screen; without the dialog a crash ends the
#   program at once and its backtrace goes to the program's stderr.
# - The window frame. No window manager runs, so Wine draws the frame
#   itself, as Windows does: the X window is then the whole window.

wine_prefix_font=("Nimbus Sans" fonts-urw-base35
  /usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf)

wine_prefix_registry() {
  cat <<EOF
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"Verdana"="${wine_prefix_font[0]}"
"Tahoma"="${wine_prefix_font[0]}"
"MS Shell Dlg 2"="${wine_prefix_font[0]}"

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]
"Auto"="1"
"Debugger"="winedbg --auto %ld %ld"

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Decorated"="N"
EOF
}

prepare_wine_prefix() {
  local prefix=$1 stamp
  export WINEPREFIX=$prefix WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" # no installer dialogs for .NET or HTML
  if [ ! -e "${wine_prefix_font[2]}" ]; then
    echo "FAIL: the font ${wine_prefix_font[0]} is missing (package ${wine_prefix_font[1]};" \
      "scripts/install-deps.sh installs it)" >&2
    return 1
  fi
  stamp=$( (wine_prefix_registry && echo marlett) | cksum)
  if [ "${2:-}" != fresh ] && [ "$(cat "$prefix/.test-prefix" 2>/dev/null)" = "$stamp" ]; then
    return 0
  fi
  # Wine's first start on a new machine has been seen to fail now and then:
  # a second try on a new prefix, and what Wine said if that fails too.
  if ! make_wine_prefix "$prefix"; then
    echo "warning: making the Wine prefix $prefix failed; once more:" >&2
    tail -n 20 "$prefix.log" >&2
    if ! make_wine_prefix "$prefix"; then
      echo "FAIL: the Wine prefix $prefix could not be made; Wine said:" >&2
      tail -n 40 "$prefix.log" >&2
      return 1
    fi
  fi
  echo "$stamp" >"$prefix/.test-prefix"
}

# Makes the prefix anew; what Wine prints goes to DIR.log.
make_wine_prefix() {
  local prefix=$1 log=$1.log
  wineserver -k 2>/dev/null || true # a server left by an earlier run
  rm -rf "$prefix"
  mkdir -p "$prefix" || return 1
  : >"$log"
  wineboot -i >>"$log" 2>&1 || { echo "wineboot ended with $?" >>"$log"; return 1; }
  cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/" || return 1
  wine_prefix_registry >"$prefix/drive_c/test-prefix.reg"
  wine regedit /S 'C:\test-prefix.reg' >>"$log" 2>&1 || { echo "regedit ended with $?" >>"$log"; return 1; }
  # The registry reaches the disk when the server ends; the next program
  # starts one that reads it, fonts included.
  wineserver -w || { echo "wineserver -w ended with $?" >>"$log"; return 1; }
  if ! grep -q '"ShowCrashDialog"=dword:00000000' "$prefix/user.reg"; then
    echo "the test settings did not reach the prefix" >>"$log"
    return 1
  fi
}
