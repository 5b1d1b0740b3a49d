# One INTERFACE target carries the warning flags and Qt's strictness macros for all our code.
add_library(vantry_warnings INTERFACE)
target_compile_options(vantry_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Werror
    -Wnon-virtual-dtor -Wsuggest-override -Wimplicit-fallthrough -Wcast-qual -Wformat=2)
target_compile_definitions(vantry_warnings INTERFACE
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING
    QT_NO_SIGNALS_SLOTS_KEYWORDS)

# vantry_add_library(NAME SOURCES ... [PUBLIC_LINK ...] [PRIVATE_LINK ...] [HEADERS_AS FOLDER])
#
# Each subsystem publishes only its own headers, as <NAME/Header.h> (or <FOLDER/Header.h> when
# the folder's name cannot be a target's): its folder is reached through a link in an include
# root of its own, so an #include of a subsystem the target does not link fails to build.
function(vantry_add_library name)
    cmake_parse_arguments(ARG "" "HEADERS_AS" "SOURCES;PUBLIC_LINK;PRIVATE_LINK" ${ARGN})
    if(NOT ARG_HEADERS_AS)
        set(ARG_HEADERS_AS ${name})
    endif()
    set(root "${CMAKE_BINARY_DIR}/include-roots/${name}")
    file(MAKE_DIRECTORY "${root}")
    file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}" "${root}/${ARG_HEADERS_AS}" SYMBOLIC)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC "${root}")
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LINK} PRIVATE vantry_warnings ${ARG_PRIVATE_LINK})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
endfunction()

# $<LINK_LIBRARY:AS_NEEDED,lib>: a program records `lib` only when it calls into it, so a library
# that only some programs use is not loaded at every other program's start.
set(CMAKE_LINK_LIBRARY_USING_AS_NEEDED "LINKER:--push-state,--as-needed" "<LINK_ITEM>" "LINKER:--pop-state")
set(CMAKE_LINK_LIBRARY_USING_AS_NEEDED_SUPPORTED TRUE)
