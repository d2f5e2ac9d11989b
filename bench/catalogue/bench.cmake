# The catalogue benchmark runs over every class, built from the generated sample cases.
target_sources(catalogue_catalogue_bench PRIVATE ${NUVZUB_CATALOGUE_CASES})
add_dependencies(catalogue_catalogue_bench NUVZubCatalogueCases)
target_include_directories(catalogue_catalogue_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/catalogue)
