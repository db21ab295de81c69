# Makes the two stand-in images again with the commands firmware/README.md
# gives, checks them, and compares them with the files in firmware/ byte for
# byte. Where firmware/ holds other images (the maker's, in the stand-ins'
# place) there is nothing to compare: the test says so and is skipped.
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
  execute_process(COMMAND ${MKIMAGE} --check ${made} --name SND44 RESULT_VARIABLE check_status)
  if(NOT made_status EQUAL 0 OR NOT check_status EQUAL 0)
    message(FATAL_ERROR "the documented command for revision ${revision} made no valid image")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${made} ${FIRMWARE_DIR}/snd44_rev${revision}.img
                  RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message("firmware/snd44_rev${revision}.img is not the stand-in its documented command makes: not compared")
  endif()
endforeach()
