# Drops the paragraph breaks that scdoc writes where a section heading
# already breaks the paragraph or where nothing follows, and moves the one
# that closes an indented item after its .RE, so that `mandoc -T lint` has
# nothing to say. Every other line passes unchanged.
function is_heading(line) {
  return line ~ /^\.(SH|SS|TH)( |$)/
}
{
  if ($0 == ".P") {
    if (!is_heading(last)) held = 1
  } else if ($0 == ".RE") {
    print
  } else {
    if (held && !is_heading($0)) print ".P"
    held = 0
    print
  }
  last = $0
}
