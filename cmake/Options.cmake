# Compiler options shared by the main build and the fuzz build.
#
# Warnings: beyond -Wall -Wextra, shadowed names, narrowing and sign-changing conversions,
# C casts, and class hierarchies that would delete or override wrongly. SVC_WERROR makes
# every warning an error; scripts/test turns it on under continuous integration, so a
# warning fails CI while a local build still shows it without stopping.
option(SVC_WERROR "Treat compiler warnings as errors" OFF)
set(SVC_WARNINGS
    -Wall -Wextra
    -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Wnon-virtual-dtor -Woverloaded-virtual)
if(SVC_WERROR)
    list(APPEND SVC_WARNINGS -Werror)
endif()

# Qt's stricter defines: no implicit conversions between bytes and text or URLs, no narrowing
# in connect, no Q_FOREACH, and nothing Qt deprecated up to the oldest version we build on
# (Qt 6.4 knows the older name of that last define, 6.5 and later the newer).
set(SVC_QT_DEFINES
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH
    QT_USE_QSTRINGBUILDER
    QT_DISABLE_DEPRECATED_BEFORE=0x060400
    QT_DISABLE_DEPRECATED_UP_TO=0x060400)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

# No implicit conversion between 8-bit strings and QString either: every text in the program
# says how it is encoded. The program's own targets link svc_strict_text; the tests do not,
# so that their data tables can stay plain literals.
set(SVC_QT_STRICT_TEXT_DEFINES QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII)
