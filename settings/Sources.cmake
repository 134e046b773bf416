# Global settings, data directory, file and registry helpers (part of KestrovaCore).
target_sources(KestrovaCore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DataDirectory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/File.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileSystem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/GlobalSettings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ImpersonationRevertGuard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PrivateAccess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RegistryKey.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsSection.cpp
)
