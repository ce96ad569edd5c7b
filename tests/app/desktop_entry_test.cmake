# The desktop entry the build wrote: the MIME types of the plug-ins that read, no folder type,
# and the folder action.
file(READ ${VT_ENTRY} entry)
if(NOT entry MATCHES "\nMimeType=([^\n]*)\n")
    message(FATAL_ERROR "no MimeType line in ${VT_ENTRY}")
endif()
set(types "${CMAKE_MATCH_1}")
foreach(wanted image/png image/x-portable-pixmap image/x-portable-graymap image/bmp)
    if(NOT types MATCHES "(^|;)${wanted};")
        message(FATAL_ERROR "${wanted} missing from MimeType=${types}")
    endif()
endforeach()
if(types MATCHES "inode/" OR types MATCHES "@")
    message(FATAL_ERROR "the entry claims what it should not: MimeType=${types}")
endif()
if(NOT entry MATCHES "\nActions=convert-folder;\n" OR
   NOT entry MATCHES "\\[Desktop Action convert-folder\\]\nName=Convert folder...\n")
    message(FATAL_ERROR "no \"Convert folder...\" action:\n${entry}")
endif()
