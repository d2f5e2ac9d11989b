# The triage benchmark runs the tool's own code, linked in, on generated logs.
target_sources(tools_triage_bench PRIVATE ${PROJECT_SOURCE_DIR}/tools/zubexc/triage.cpp)
target_include_directories(tools_triage_bench PRIVATE ${PROJECT_SOURCE_DIR}/tools/zubexc)
target_link_libraries(tools_triage_bench PRIVATE nlohmann_json::nlohmann_json)
