# Runs the shipped updater with standard output a pipe and compares every byte it writes.
function(expect_output expected)
    execute_process(COMMAND ${UPDATER} ${ARGN}
                    OUTPUT_VARIABLE out RESULT_VARIABLE status TIMEOUT 60)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "iolink-update ${ARGN}: exit status ${status}")
    endif()
    if(NOT out STREQUAL expected)
        message(FATAL_ERROR "iolink-update ${ARGN}: output\n[${out}]\ninstead of\n[${expected}]")
    endif()
endfunction()

set(help "Norvik IO-Link USB Master - SE Firmware Updater
Command Line Help:
-? displays the help
-a (all) actualize firmware instead of ignoring the same revision
-i (IO-Link) actualize IO-Link stack if separate from main
-m (Main) actualize main firmware
-s Show only possible updates
")
expect_output("${help}" "-?")
expect_output("${help}" "-s" "-h")
expect_output("${help}" "--help")
# No master attached to this machine: the message and the final empty line.
expect_output("No USB IO-Link Master found. Exiting...\n\n")
expect_output("No USB IO-Link Master found. Exiting...\n\n" "-s" "-x" "plain")
