# The release's SHA-256 list, in sha256sum's form ("HASH *NAME", CRLF line ends for Notepad):
# each ENTRY is NAME=PATH, NAME as the file is called in the package.
#   cmake -DOUT=SHA256SUMS.txt "-DENTRIES=selftest.exe=/path/selftest.exe;..." -P sha256_list.cmake
set(list "")
foreach(entry IN LISTS ENTRIES)
  string(FIND "${entry}" "=" at)
  string(SUBSTRING "${entry}" 0 ${at} name)
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${entry}" ${at} -1 path)
  file(SHA256 "${path}" hash)
  string(APPEND list "${hash} *${name}\r\n")
endforeach()
file(WRITE "${OUT}" "${list}")
