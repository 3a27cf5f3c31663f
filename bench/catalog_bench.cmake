# The end-to-end benchmark of bench/catalog_bench.py: orva-io-baseline, the
# scanner's file-system work without its parsing, is its yardstick.
add_executable(orva-io-baseline ${CMAKE_CURRENT_LIST_DIR}/io_baseline.cpp)
target_link_libraries(orva-io-baseline PRIVATE orva_scan_core)
orva_set_warnings(orva-io-baseline)

# orva-measured-run: starts one timed run from a small process, so that the peak
# resident set it reports is the program's own.
add_executable(orva-measured-run ${CMAKE_CURRENT_LIST_DIR}/measured_run.cpp)
orva_set_warnings(orva-measured-run)

# orva_scan_bench: the two workers through the pool, with allocations, bytes
# allocated and minor page faults per file (ORVA_SCAN_BENCH_CHATS picks the directory).
orva_benchmark(orva_scan_bench ${CMAKE_CURRENT_LIST_DIR}/scan_bench.cpp)
