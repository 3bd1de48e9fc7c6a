# Sourced by the set-up scripts that fetch from Debian without touching the
# machine's apt set-up: a private apt configuration (its own sources list,
# state and cache under a folder of the caller's) that mirrors the Debian
# archives the machine already uses.
#
#   debian_sources KIND LIST   one line per archive and suite into LIST,
#                              each starting with KIND ("deb-src",
#                              "deb [arch=i386]"); fails when there is none
#   private_apt DIR LIST ARGS  apt-get with LIST as its only sources, state
#                              and cache under DIR

debian_sources() {
  local kind=$1 list=$2 f
  local opts=${kind#* } type=${kind%% *}
  [ "$opts" = "$kind" ] && opts="" || opts=${opts#[}
  opts=${opts%]}
  : > "$list"
  for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    case "$f" in
      *.sources)  # deb822 stanzas: URIs, Suites, Components
        awk -v head="$type [trusted=yes${opts:+ $opts}]" '
          function flush() { if (uris != "" && uris ~ /debian/) { n = split(uris, u, " "); m = split(suites, s, " ");
              for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print head " " u[i] " " s[j] " " comps }
            uris = ""; suites = ""; comps = "" }
          /^[[:space:]]*$/ { flush(); next }
          /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
          /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
          /^Components:/ { sub(/^Components:[[:space:]]*/, ""); comps = $0 }
          END { flush() }' "$f" >> "$list" ;;
      *)
        awk -v head="$type [trusted=yes${opts:+ $opts}]" \
          '$1 == "deb" && /debian/ { sub(/\[[^]]*\] /, ""); $1 = head; print }' "$f" >> "$list" ;;
    esac
  done
  sort -u -o "$list" "$list"
  if [ ! -s "$list" ]; then
    echo "$(basename "$0"): no Debian archive found in the apt sources" >&2
    return 1
  fi
}

private_apt() {
  local apt=$1 list=$2; shift 2
  mkdir -p "$apt/cache" "$apt/archives/partial" "$apt/etc/preferences.d" "$apt/lists-${list##*.}/partial"
  apt-get -o Dir::Etc::SourceList="$list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::Etc::Preferences="$apt/etc/preferences" -o Dir::Etc::PreferencesParts="$apt/etc/preferences.d" \
    -o Dir::State::Lists="$apt/lists-${list##*.}" -o Dir::Cache="$apt/cache" -o Dir::Cache::Archives="$apt/archives" \
    -o APT::Sandbox::User=root -o Debug::NoLocking=1 -o Acquire::Languages=none "$@"
}
