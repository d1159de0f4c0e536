# Certificate store, certificate information, viewer and requests.
if(WIN32)
  add_subdirectory(standin_csp)
endif()
