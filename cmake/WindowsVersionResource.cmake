# A version resource for a Windows program, compiled by windres from version.rc.in: the file and
# product version are the project's, so that Explorer's Properties and installers see the same
# version as --version prints.
#
#   quorvel_add_version_resource(<target> "<description>")
function(quorvel_add_version_resource target description)
    # "1.12" becomes 1,12,0,0: a version resource holds four 16-bit numbers.
    set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH}
              ${PROJECT_VERSION_TWEAK})
    set(numbers)
    foreach(part IN LISTS parts)
        if(part STREQUAL "")
            set(part 0)
        endif()
        list(APPEND numbers ${part})
    endforeach()
    list(LENGTH numbers count)
    while(count LESS 4)
        list(APPEND numbers 0)
        list(LENGTH numbers count)
    endwhile()
    list(JOIN numbers "," QUORVEL_RC_VERSION_COMMAS)

    set(QUORVEL_RC_NAME ${target})
    set(QUORVEL_RC_FILE ${target}.exe)
    set(QUORVEL_RC_DESCRIPTION ${description})
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
