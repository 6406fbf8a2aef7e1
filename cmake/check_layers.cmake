# Fails when a file of one folder of src/ includes a header of a folder above it.
#   cmake -DROOT=<src> -DLAYERS="core;radio;engine;ui;app" [-DSTAMP=<file>] -P check_layers.cmake
# LAYERS runs from the bottom up: a folder may include its own headers and those of the folders
# before it in the list, never those after it. Both "folder/x.h" and <folder/x.h> count.
cmake_minimum_required(VERSION 3.22)

if(NOT ROOT OR NOT LAYERS)
    message(FATAL_ERROR "check_layers.cmake needs -DROOT=<src folder> and -DLAYERS=<bottom;...;top>")
endif()
get_filename_component(ROOT "${ROOT}" ABSOLUTE)

list(JOIN LAYERS "|" alternatives)
set(problems "")
set(below "")
foreach(layer IN LISTS LAYERS)
    list(APPEND below ${layer})
    string(REPLACE ";" ", " allowed "${below}")
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${ROOT}
         ${ROOT}/${layer}/*.h ${ROOT}/${layer}/*.hpp ${ROOT}/${layer}/*.cpp ${ROOT}/${layer}/*.cc)
    list(SORT files)
    foreach(file IN LISTS files)
        file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<](${alternatives})/")
        foreach(line IN LISTS lines)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([a-z]+)/.*" "\\1" target "${line}")
            list(FIND below ${target} at)
            if(at EQUAL -1)
                string(STRIP "${line}" line)
                string(APPEND problems
                       "  src/${file}: ${line}\n"
                       "    (src/${layer} may include only ${allowed}; ${target} lies above it)\n")
            endif()
        endforeach()
    endforeach()
endforeach()

if(problems)
    list(JOIN LAYERS " <- " order)
    message(FATAL_ERROR
        "Includes that run back up the layers (${order}: each folder includes only its own and "
        "those to its left):\n${problems}"
        "Move what is shared down to the lower folder, or pass it in from above.")
endif()
if(STAMP)
    file(TOUCH ${STAMP})
endif()
