# Until the request layer is linked into qs_core, the tests use an interim libcurl client
# (link_stubs.cpp). Once any update/*.cpp defines HttpsRequestToSink the stubs drop out, so they
# can never shadow the real layer.
set(QS_REQUEST_STUBS ${CMAKE_SOURCE_DIR}/tests/update/link_stubs.cpp)
file(GLOB qs_update_sources ${CMAKE_SOURCE_DIR}/update/*.cpp)
foreach(source ${qs_update_sources})
    file(STRINGS ${source} definition REGEX "^void HttpsRequestToSink\\(")
    if(definition)
        set(QS_REQUEST_STUBS "")
    endif()
endforeach()
