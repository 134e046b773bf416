# Log manager, file logger and function tracing (part of KestrovaCore).
target_sources(KestrovaCore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/FileLogger.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FunctionTracer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InternalReport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LineFormatter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogManager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogSeverity.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ModuleBanner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PeriodicTimer.cpp
)
