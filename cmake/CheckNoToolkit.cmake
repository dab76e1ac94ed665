# cmake -DFILES="a.cpp;b.h" -P CheckNoToolkit.cmake: fails naming every line of FILES that
# includes a Qt header, a Win32 user-interface header or a header of the views above the layer.
set(forbidden
    "Q[A-Z][A-Za-z]*(\\.h)?"              # <QString>, <QWidget>
    "Qt[A-Za-z]*/[^>\"]*"                 # <QtCore/QString>
    "q[a-z]+\\.h"                         # <qstring.h>
    "ui_[A-Za-z0-9_]*\\.h"                # forms compiled by uic
    "[Ww][Ii][Nn][Dd][Oo][Ww][Ss]\\.h"    # <windows.h>, <Windows.h>
    "[Ww]indowsx\\.h|[Ww]inuser\\.h|[Cc]ommctrl\\.h|[Cc]ommdlg\\.h|[Ss]hellapi\\.h|[Ww]ingdi\\.h"
    "(pages|app)/[^>\"]*")
list(JOIN forbidden "|" alternatives)
set(pattern "^[ \t]*#[ \t]*include[ \t]*[<\"](${alternatives})[>\"]")

set(found)
foreach(file ${FILES})
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line ${lines})
    if(line MATCHES "${pattern}")
      list(APPEND found "${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " report)
  message(FATAL_ERROR "toolkit headers in a layer below the views:\n  ${report}")
endif()
