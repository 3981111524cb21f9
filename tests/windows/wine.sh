# Sourced by the Wine tests once $wine is known. Exits 77 (skipped) when this
# machine cannot run it: some kernels refuse 32-bit programs outright (ENOEXEC,
# which the shell reports as 126), leaving Wine's 32-bit loader installed but
# dead. Sets $wineserver to the server beside it, or on the PATH, or to "".
"$wine" --version >/dev/null 2>&1
[ $? -ne 126 ] || { echo "this machine cannot run the program $wine (no 32-bit support): skipped"; exit 77; }
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
