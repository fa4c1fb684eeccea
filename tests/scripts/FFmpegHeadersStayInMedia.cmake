# Checks that FFmpeg's headers stay inside the media layer (audio/media): its public headers
# compile without pulling in any FFmpeg header, and no object of the programs or of the other
# audio layers was compiled with one. (FFmpeg's headers sit in a default include directory on
# many systems, so keeping its include path private to the layer cannot catch a leak alone.)
#
# cmake -DCXX=<compiler> -DSOURCE=<source dir> -DBUILD=<build dir> -DNINJA=<ninja or empty>
#       -P FFmpegHeadersStayInMedia.cmake
set(ffmpeg_pattern "/lib(avcodec|avformat|avutil|avfilter|avdevice|swresample|swscale|postproc)/")
set(failures "")

# 1. Each header the windows include, on its own.
foreach(header AuMedia.h AuMp3In.h MediaBridge.h MediaBridgeWriter.h MediaTypes.h)
  execute_process(
    COMMAND ${CXX} -std=c++20 -M -x c++ -I${SOURCE}/audio/core -I${SOURCE}/audio/media
            ${SOURCE}/audio/media/${header}
    RESULT_VARIABLE rc OUTPUT_VARIABLE deps ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(APPEND failures "${header} does not compile on its own:\n${err}\n")
  elseif(deps MATCHES "${ffmpeg_pattern}")
    string(APPEND failures "${header} pulls in an FFmpeg header (${CMAKE_MATCH_0})\n")
  endif()
endforeach()

# 2. The recorded header dependencies of every object built outside the media layer, the tests
#    and the benchmarks (which may use FFmpeg directly).
if(NINJA)
  execute_process(COMMAND ${NINJA} -C ${BUILD} -t deps
    RESULT_VARIABLE rc OUTPUT_VARIABLE listing ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(APPEND failures "ninja -t deps failed: ${err}\n")
  endif()
  string(REPLACE ";" "\\;" listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(object "")
  set(checked 0)
  foreach(line IN LISTS lines)
    if(line MATCHES "^([^ ].*\\.o): #deps")
      set(object "${CMAKE_MATCH_1}")
      if(object MATCHES "^(tests|bench)/" OR object MATCHES "audio_media\\.dir/")
        set(object "")
      else()
        math(EXPR checked "${checked} + 1")
      endif()
    elseif(object AND line MATCHES "${ffmpeg_pattern}")
      string(APPEND failures "${object} was compiled with an FFmpeg header: ${line}\n")
      set(object "") # one line per object is enough
    endif()
  endforeach()
  if(checked EQUAL 0)
    string(APPEND failures "no built object outside the media layer was found in ${BUILD}\n")
  endif()
  message(STATUS "${checked} objects outside the media layer checked")
endif()

if(failures)
  message(FATAL_ERROR "FFmpeg headers leak out of audio/media:\n${failures}")
endif()
