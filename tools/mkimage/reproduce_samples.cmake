# Makes the two sample images again with the commands firmware/README.md
# gives, and compares them with the committed files byte for byte.
#   cmake -DMKIMAGE=... -DFIRMWARE_DIR=... -DWORK_DIR=... -P reproduce_samples.cmake
foreach(sample "1;116" "2;108")
  list(GET sample 0 revision)
  list(GET sample 1 last_length)
  set(made ${WORK_DIR}/snd44_rev${revision}.img)
  execute_process(
    COMMAND ${MKIMAGE} --out ${made} --product 59 --revision ${revision}
            --version 0x023B0000 --name SND44 --flash-start 0x1000
            --records 857 --record-length 236 --last-length ${last_length} --seed ${revision}
    RESULT_VARIABLE made_status)
  if(NOT made_status EQUAL 0)
    message(FATAL_ERROR "mkimage failed for revision ${revision}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${made} ${FIRMWARE_DIR}/snd44_rev${revision}.img
                  RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "snd44_rev${revision}.img is not what its documented command makes")
  endif()
endforeach()
