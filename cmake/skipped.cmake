# Run by the `skipped` target after ctest: names each test that skipped and why, as bats
# printed it ("ok N NAME # skip REASON"), since ctest keeps the reason in its log alone.
file(STRINGS "${LOG}" lines REGEX "^ok [0-9]+ .* # skip")
list(REMOVE_DUPLICATES lines)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^ok [0-9]+ (.*) # skip ?(.*)$" "skipped: \\1: \\2" line "${line}")
    message("${line}")
endforeach()
list(LENGTH lines n)
message("${n} tests skipped")
