# The module is generated at build time from the native planner's header.
CHUNKABLE_OPERATIONS: tuple[str, ...]
NON_CHUNKABLE_OPERATIONS: tuple[str, ...]
