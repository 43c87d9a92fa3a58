# A warning raised inside a native method of the JDK's own desktop module
# (its font scaler, met by the window's test) is the JDK's, not ours: dropped
# with its stack before the check. Every other one still fails the run.
# Other threads and processes (the native library's own messages, the test's)
# write to the same output: a warning may start in the middle of one of their
# lines, and their lines may come between a warning and its stack, or in front
# of the stack's first line. The first stack line after a warning decides;
# lines of others before it pass through as they are.
function flush() { if (held != "") print held; held = "" }
/WARNING in native method/ {
  flush()
  i = index($0, "WARNING in native method"); if (i > 1) print substr($0, 1, i - 1)
  held = substr($0, i); waited = 0; skip = 0; next }
held != "" {
  j = index($0, "\tat ")
  if (j == 0 && waited < 8) { waited++; print; next }
  if (j > 0 && substr($0, j) ~ /^\tat .*\(java\.desktop@[^)]*Native Method\)/) {
    if (j > 1) print substr($0, 1, j - 1)
    held = ""; skip = 1; next }
  flush() }
skip && /^\t/ { next }
{ skip = 0; print }
END { flush() }
