# Reads the dialog resource back out of the DLL with windres and checks the "TDIALFORM" dialog
# and its texts as Unicode strings. Usage: cmake -DWINDRES=... -DDLL=... -P this file
execute_process(COMMAND ${WINDRES} -J coff -O rc -i ${DLL}
    OUTPUT_VARIABLE resources ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windres could not read ${DLL}: ${errors}")
endif()
set(expected
    [["TDIALFORM" DIALOGEX]]
    [[CAPTION L"\x30c0\x30a4\x30e4\x30eb\x767a\x4fe1"]]
    [[FONT 9, L"\xff2d\xff33 \xff30\x30b4\x30b7\x30c3\x30af", 400, 0, 128]]
    [[L"\x767a\x4fe1\x6e96\x5099\x304c\x5b8c\x4e86\x3057\x307e\x3057\x305f", 102, "STATIC"]]
    [[L"\x73fe\x5728\x9f13\x52d5\x3057\x3066\x3044\x308b\x53d7\x8a71\x5668\x3092\x53d6\x308b\x3053\x3068\x3067\x767a\x4fe1\x3057\x307e\x3059", 103, "STATIC"]]
    [[L"\x30ad\x30e3\x30f3\x30bb\x30eb", 2, "BUTTON"]])
set(failed FALSE)
foreach(line IN LISTS expected)
    string(FIND "${resources}" "${line}" at)
    if(at EQUAL -1)
        message(SEND_ERROR "not in the DLL's resources: ${line}")
        set(failed TRUE)
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "the dialog resource of ${DLL} is not as designed:\n${resources}")
endif()
message(STATUS "TDIALFORM resource of ${DLL} as designed")
