# Writes the desktop entry with the MIME types of exactly what the installed plug-ins read, as
# `vtconvert --list-formats` reports them (its READ BY column), each extension looked up in the
# shared MIME database's globs2. Run in script mode at build time:
#   cmake -DVTCONVERT=... -DGLOBS=... -DTEMPLATE=... -DOUTPUT=... -DWORK=... -P desktop_entry.cmake
# Folders are no MIME type of ours: "Convert folder..." is an action, so the converter never
# becomes the desktop's default folder handler.

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
# A data root of its own: the build never touches the user's plug-in caches.
set(ENV{VANTREL_DATA_ROOT} ${WORK})
execute_process(COMMAND ${VTCONVERT} --list-formats OUTPUT_VARIABLE listing
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "vtconvert --list-formats failed: ${result}")
endif()

file(STRINGS ${GLOBS} globs)
# Our own MIME file (beside the template) defines the types the system's database may lack
# (QOI, Radiance, PFM): its globs count as the database's.
get_filename_component(here ${TEMPLATE} DIRECTORY)
file(STRINGS ${here}/vantrel-converter.xml own_mime)
set(own_type)
foreach(line IN LISTS own_mime)
    if(line MATCHES "<mime-type type=\"([^\"]+)\">")
        set(own_type ${CMAKE_MATCH_1})
    elseif(line MATCHES "<glob pattern=\"\\*\\.([^\"]+)\"/>" AND own_type)
        list(APPEND globs "50:${own_type}:*.${CMAKE_MATCH_1}")
    endif()
endforeach()
set(types)
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    # ".png     PNG Image     fmx_PNG.so     fmx_PNG.so": the third column from the end names
    # the reader; "(write only)" there, or a section heading, is no format read.
    if(NOT line MATCHES "^\\.([A-Za-z0-9_+-]+) .* (fmx_[^ ]+\\.so|\\(built in\\)) +([^ ]+\\.so|\\([a-z ]+\\))$")
        continue()
    endif()
    string(TOLOWER "${CMAKE_MATCH_1}" extension)
    set(found)
    foreach(glob IN LISTS globs)
        if(glob MATCHES "^[0-9]+:([^:]+):\\*\\.([^:]+)(:.*)?$")
            string(TOLOWER "${CMAKE_MATCH_2}" pattern)
            if(pattern STREQUAL extension)
                list(APPEND found ${CMAKE_MATCH_1})
            endif()
        endif()
    endforeach()
    # An extension several kinds of file share (".vst": Targa and Visio) is ours only as a
    # picture or a video.
    list(LENGTH found count)
    if(count GREATER 1)
        list(FILTER found INCLUDE REGEX "^(image|video)/")
    endif()
    list(APPEND types ${found})
endforeach()
# VT5 is ours: its type comes with our MIME file, not from the system's database.
list(APPEND types image/x-vantrel-vt5)
list(REMOVE_DUPLICATES types)
list(SORT types)
if(NOT types)
    message(FATAL_ERROR "no plug-in reads a format the MIME database knows:\n${listing}")
endif()
string(JOIN ";" VT_MIME_TYPES ${types})
string(APPEND VT_MIME_TYPES ";")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
