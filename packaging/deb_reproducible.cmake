# Run by cpack after it has written the .deb (CPACK_POST_BUILD_SCRIPTS): writes each package again
# with dpkg-deb so that the same build gives the same bytes. cpack's archives carry the time of
# the packaging (archive members, gzip headers) and the staged files' own times and modes; here
# every file and folder takes SOURCE_DATE_EPOCH's time and a fixed mode (u+rwX, go+rX, no group
# or world write: 0644 and 0755), owner root, and dpkg-deb, which sorts the files and takes the
# archive members' times from SOURCE_DATE_EPOCH, compresses with gzip (single-threaded, no time
# stamp). Where no SOURCE_DATE_EPOCH is known the files keep their times.

file(STRINGS "${CPACK_IOLINK_SOURCE_DATE_EPOCH_FILE}" epoch LIMIT_COUNT 1)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    set(tree "${deb}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND chmod -R u+rwX,go+rX,go-w "${tree}" COMMAND_ERROR_IS_FATAL ANY)
    # A cross build's dependencies come from the libraries of Debian's cross toolchain, packaged
    # as <package>-<arch>-cross, whose dependency information names <package>:<arch> or the
    # cross package itself: on the target the package is <package>.
    if(CPACK_IOLINK_CROSS_LIBRARY_DIR)
        set(arch ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
        file(READ "${tree}/DEBIAN/control" control)
        string(REGEX MATCH "\nDepends: [^\n]*" depends "${control}")
        string(REGEX REPLACE "([a-z0-9.+-]+)-${arch}-cross" "\\1" native "${depends}")
        string(REPLACE ":${arch}" "" native "${native}")
        string(REPLACE "${depends}" "${native}" control "${control}")
        file(WRITE "${tree}/DEBIAN/control" "${control}")
    endif()
    if(epoch MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} ${epoch})
        execute_process(COMMAND find "${tree}" -exec touch -h -d @${epoch} {} +
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -z9 --build "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
endforeach()
