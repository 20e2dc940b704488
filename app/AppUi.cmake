# The main window's library (velmo_app_ui): window, departures list controller, settings
# and preferences, application delegate. Included from app/CMakeLists.txt.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
if(NOT TARGET velmo_app_ui)
  velmo_library(velmo_app_ui
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ViewController.cpp ${CMAKE_CURRENT_LIST_DIR}/SettingsViewController.cpp
            ${CMAKE_CURRENT_LIST_DIR}/PreferencesPage.cpp ${CMAKE_CURRENT_LIST_DIR}/MainWindow.cpp
            ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.cpp ${CMAKE_CURRENT_LIST_DIR}/WindowMode.cpp
            ${CMAKE_CURRENT_LIST_DIR}/TripWindow.cpp
    PUBLIC_LIBS velmo_display velmo_settings velmo_update Qt6::Widgets
    PRIVATE_LIBS velmo_client velmo_bundle)
  set_target_properties(velmo_app_ui PROPERTIES AUTOMOC ON)
endif()
