# Sourced by the man page tests. man_block MAN_PAGE SECTION prints the first example block
# (.EX … .EE) of that section with the roff escapes undone, as a reader of the page sees it.
man_block() {
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\[&%]//g' -e "s/\\\\(aq/'/g" \
    -e 's/\\(dq/"/g' -e 's/\\(pc/·/g' -e 's/\\(em/—/g' -e 's/\\e/\\/g' "$1" |
    awk -v section="$2" '/^\.SH/ { title = $0; sub(/^\.SH "?/, "", title); sub(/"?$/, "", title); inside = (title == section); next }
         inside && /^\.EX/ { copying = 1; next }
         copying && /^\.EE/ { exit }
         copying'
}
