# The operator's guide as plain text for the release: from the Markdown in docs/, each picture
# named by its file in the package, written as UTF-8 with a byte-order mark and CRLF line ends,
# which Notepad on a Chinese Windows XP reads as it is (without the mark it takes the text for
# the ANSI code page, and it breaks lines at CRLF only).
#   cmake -DIN=guide.md -DOUT=guide.txt -P guide_text.cmake
file(READ "${IN}" text)
# A picture: ![caption](guide/name.png) -> [图：guide\name.png，caption]
string(REGEX REPLACE "!\\[([^]]*)\\]\\(([^)]*)\\)" "[图：\\2，\\1]" text "${text}")
string(REGEX REPLACE "(\\[图：[^]]*)/" "\\1\\\\" text "${text}")
# Headings: the title as it is, each section marked; bold and code marks go.
string(REGEX REPLACE "(^|\n)## " "\\1■ " text "${text}")
string(REGEX REPLACE "(^|\n)# " "\\1" text "${text}")
string(REPLACE "**" "" text "${text}")
string(REPLACE "`" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
string(ASCII 239 187 191 bom)
file(WRITE "${OUT}" "${bom}${text}")
