# Makes a plain-text file for the zip from a Markdown page, so that the page
# stays the one source of the guide:
#   cmake -DINPUT=<page.md> -DOUTPUT=<file.txt> -P markdown_to_text.cmake
# Link targets, code marks and emphasis go; code blocks lose their fences and
# are indented; headings are underlined; every line ends with CRLF, as
# Notepad expects.
file(READ ${INPUT} text)

while(text MATCHES "\n( *)```[^\n]*\n([^`]*\n) *```\n")
  set(block "${CMAKE_MATCH_0}")
  string(REGEX REPLACE "([^\n]*)\n" "    \\1\n" body "${CMAKE_MATCH_2}")
  string(REPLACE "${block}" "\n${body}" text "${text}")
endwhile()

string(REGEX REPLACE "\\[([^][]*)\\]\\([^) \n]*\\)" "\\1" text "${text}")
string(REPLACE "`" "" text "${text}")
string(REPLACE "**" "" text "${text}")
string(REPLACE "\\|" "|" text "${text}")

# "# Title" is underlined with "=", "## Title" with "-".
set(text "\n${text}")
while(text MATCHES "\n(#+) ([^\n]*)\n")
  set(heading "${CMAKE_MATCH_0}")
  set(title "${CMAKE_MATCH_2}")
  string(LENGTH "${CMAKE_MATCH_1}" level)
  string(LENGTH "${title}" width)
  if(level EQUAL 1)
    string(REPEAT "=" ${width} rule)
  else()
    string(REPEAT "-" ${width} rule)
  endif()
  string(REPLACE "${heading}" "\n${title}\n${rule}\n" text "${text}")
endwhile()
string(SUBSTRING "${text}" 1 -1 text)

string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
