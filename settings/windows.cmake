# The three settings windows: check settings, account, server settings.
add_library(qp_settings_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AutoCheckDisplay.h
  ${CMAKE_CURRENT_LIST_DIR}/SetForm.cpp ${CMAKE_CURRENT_LIST_DIR}/SetForm.h
  ${CMAKE_CURRENT_LIST_DIR}/IdPassForm.cpp ${CMAKE_CURRENT_LIST_DIR}/IdPassForm.h
  ${CMAKE_CURRENT_LIST_DIR}/OptionForm.cpp ${CMAKE_CURRENT_LIST_DIR}/OptionForm.h
  ${CMAKE_CURRENT_LIST_DIR}/OAuthSignInForm.cpp ${CMAKE_CURRENT_LIST_DIR}/OAuthSignInForm.h
)
target_link_libraries(qp_settings_ui PUBLIC qp_settings qp_signin qp_platform_ui)
