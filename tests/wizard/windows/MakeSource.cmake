# Completes the staged source folder of the Windows wizard's test setups:
# many small files and one large one (so that a copy lasts long enough to
# be cancelled), and for MODE=bad a project with hundreds of features, a
# licence that is a binary file larger than the wizard shows, and a
# language file without the wizard's texts; for MODE=bare the project
# without its plug-in entry (vxbuild adds the wizard beside the stub).
# -DSTAGE=<folder> -DMODE=main|bad|bare [-DBINARY=<file> -DPROJECT=<in> -DOUTPROJECT=<out>]
string(REPEAT "0123456789abcdef" 4096 _chunk)  # 64 KiB
string(REPEAT "${_chunk}" 64 _big)             # 4 MiB
file(WRITE ${STAGE}/bin/big.bin "${_big}")
foreach(_i RANGE 1 300)
  file(WRITE ${STAGE}/many/f${_i}.txt "file ${_i}\n")
endforeach()
if(MODE STREQUAL "bad")
  file(COPY_FILE ${BINARY} ${STAGE}/wizard/license.txt)
  file(WRITE ${STAGE}/lng/ENU.lng "[Other]\r\nWelcome=not the wizard's\r\n")
  set(_features "")
  foreach(_i RANGE 1 400)
    string(APPEND _features "<feature id=\"f${_i}\" name=\"Feature ${_i}\" description=\"Feature number ${_i}\"><components><component id=\"docs\"/></components></feature>\n")
  endforeach()
  file(READ ${PROJECT} _project)
  string(REPLACE "</features>\n\t<installtypes>" "${_features}</features>\n\t<installtypes>" _project "${_project}")
  string(REPLACE "password=\"pw\"/>" "password=\"pw\"><language file=\"lng\\ENU.lng\"/></build>" _project
         "${_project}")
  file(WRITE ${OUTPROJECT} "${_project}")
endif()
if(MODE STREQUAL "bare")
  file(READ ${PROJECT} _project)
  string(REGEX REPLACE "<plugins>.*</plugins>" "" _project "${_project}")
  file(WRITE ${OUTPROJECT} "${_project}")
endif()
