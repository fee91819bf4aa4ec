# Logic: the keyword store, its matcher and the entry box's limits (Qt Core only).
add_library(qp_watchlist STATIC
  ${CMAKE_CURRENT_LIST_DIR}/KeywordRecord.cpp ${CMAKE_CURRENT_LIST_DIR}/KeywordRecord.h
  ${CMAKE_CURRENT_LIST_DIR}/KeywordStore.cpp ${CMAKE_CURRENT_LIST_DIR}/KeywordStore.h
  ${CMAKE_CURRENT_LIST_DIR}/KeywordMatcher.cpp ${CMAKE_CURRENT_LIST_DIR}/KeywordMatcher.h
  ${CMAKE_CURRENT_LIST_DIR}/KeywordEntry.cpp ${CMAKE_CURRENT_LIST_DIR}/KeywordEntry.h
)
target_link_libraries(qp_watchlist PUBLIC qp_platform Qt6::Core)

# The keyword window "特定者の設定".
add_library(qp_watchlist_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/GekitaiForm.cpp ${CMAKE_CURRENT_LIST_DIR}/GekitaiForm.h
)
target_link_libraries(qp_watchlist_ui PUBLIC qp_watchlist qp_platform_ui Qt6::Widgets)
