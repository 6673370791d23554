# iolink-update.exe under Wine: the help text and the run without a master, byte for byte as the
# console receives them. Standard output is in text mode on Windows, so every "\n" the program
# writes arrives as "\r\n" ("\n\r" as "\r\n\r").
#   cmake -DWINE_RUN=<wine_run.sh> -DUPDATER=<iolink-update.exe> -P updater_output.cmake

cmake_minimum_required(VERSION 3.25)

# The output is taken from a file: execute_process would turn "\r\n" into "\n" in a variable.
function(expect_run name expected)
    set(out_file ${CMAKE_CURRENT_BINARY_DIR}/updater_output.txt)
    execute_process(COMMAND ${WINE_RUN} ${UPDATER} ${ARGN}
                    INPUT_FILE /dev/null
                    OUTPUT_FILE ${out_file}
                    RESULT_VARIABLE status
                    TIMEOUT 120)
    if(NOT status STREQUAL "0")
        message(FATAL_ERROR "${name}: exit status ${status}, expected 0")
    endif()
    file(READ ${out_file} out_hex HEX)
    string(HEX "${expected}" expected_hex)
    if(NOT out_hex STREQUAL expected_hex)
        file(READ ${out_file} out)
        string(REPLACE "\r" "<CR>" out "${out}")
        string(REPLACE "\r" "<CR>" expected "${expected}")
        message(FATAL_ERROR "${name}: output\n${out}\nexpected\n${expected}")
    endif()
    message(STATUS "${name}: ok")
endfunction()

set(CRLF "\r\n")
string(CONCAT help
    "Norvik IO-Link USB Master - SE Firmware Updater${CRLF}"
    "Command Line Help:${CRLF}"
    "-? displays the help${CRLF}"
    "-a (all) actualize firmware instead of ignoring the same revision${CRLF}"
    "-i (IO-Link) actualize IO-Link stack if separate from main${CRLF}"
    "-m (Main) actualize main firmware${CRLF}"
    "-s Show only possible updates${CRLF}")
expect_run("help" "${help}" "-?")
expect_run("help before other options" "${help}" "-s" "-?" "-a")

# Wine's device list has no USB serial ports: the scan finds no master.
expect_run("no master" "No USB IO-Link Master found. Exiting...${CRLF}${CRLF}")
expect_run("no master, show only" "No USB IO-Link Master found. Exiting...${CRLF}${CRLF}" "-s")
