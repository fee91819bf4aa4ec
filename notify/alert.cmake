# The alert: the sound interface over FluidSynth (logic), and the picture
# pane, the shaped window Form1 and the alert operations (windows).

add_library(qp_notify STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SoundInterface.h
  ${CMAKE_CURRENT_LIST_DIR}/MciCommand.cpp ${CMAKE_CURRENT_LIST_DIR}/MciCommand.h
  ${CMAKE_CURRENT_LIST_DIR}/MidiFileCheck.cpp ${CMAKE_CURRENT_LIST_DIR}/MidiFileCheck.h
  ${CMAKE_CURRENT_LIST_DIR}/FluidTunePlayer.cpp ${CMAKE_CURRENT_LIST_DIR}/FluidTunePlayer.h
  ${CMAKE_CURRENT_LIST_DIR}/MciSound.cpp ${CMAKE_CURRENT_LIST_DIR}/MciSound.h
)
target_link_libraries(qp_notify PUBLIC qp_platform Qt6::Core PRIVATE PkgConfig::FLUIDSYNTH PkgConfig::ALSA)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/Alert.cpp)
  add_library(qp_notify_ui STATIC
    ${CMAKE_CURRENT_LIST_DIR}/PicturePane.cpp ${CMAKE_CURRENT_LIST_DIR}/PicturePane.h
    ${CMAKE_CURRENT_LIST_DIR}/ShapeOutline.cpp ${CMAKE_CURRENT_LIST_DIR}/ShapeOutline.h
    ${CMAKE_CURRENT_LIST_DIR}/Form1.cpp ${CMAKE_CURRENT_LIST_DIR}/Form1.h
    ${CMAKE_CURRENT_LIST_DIR}/Alert.cpp ${CMAKE_CURRENT_LIST_DIR}/Alert.h
  )
  target_link_libraries(qp_notify_ui PUBLIC qp_notify qp_platform_ui Qt6::Widgets)
endif()

# Desktop notifications of the watched senders' mail (Core + DBus only).
add_library(qp_desktop_notify STATIC
  ${CMAKE_CURRENT_LIST_DIR}/DesktopNotifier.cpp ${CMAKE_CURRENT_LIST_DIR}/DesktopNotifier.h
)
target_include_directories(qp_desktop_notify PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(qp_desktop_notify PUBLIC qp_platform Qt6::Core Qt6::DBus)
