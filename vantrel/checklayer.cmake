# cmake -DSOURCES=<a;b;...> -DNO_WIDGETS=ON|OFF -DSTAMP=<file> -P checklayer.cmake
# Fails when a source includes a header by a path that climbs out of its folder, or (NO_WIDGETS)
# names the Qt Widgets module: its include path alone would not stop either.
set(forbidden "#include *[<\"]\\.\\./")
if(NO_WIDGETS)
    set(forbidden "${forbidden}|#include *[<\"]QtWidgets")
endif()
foreach(src ${SOURCES})
    file(STRINGS ${src} hits REGEX "${forbidden}")
    if(hits)
        message(FATAL_ERROR "${src}: an include outside its layer: ${hits}")
    endif()
endforeach()
file(TOUCH ${STAMP})
