// Every user-visible message format of the kernel module, side by side.
#pragma once

namespace greeks::vector::messages {

// Arguments of every entry.
inline constexpr const char* arg_count = "%s() takes %zd positional arguments (%zd given)";
inline constexpr const char* not_a_float = "%s must be a float";
inline constexpr const char* not_a_choice = "%s must be one of %s";
inline constexpr const char* threads_out_of_range =
    "threads must be 0 (one per core) or a count from 1 to %d";

// Buffers.
inline constexpr const char* wrong_buffer =
    "%s must be a contiguous buffer of format '%c', got '%s'";
inline constexpr const char* not_broadcastable = "%s holds %zu values; expected 1 or %zu";
inline constexpr const char* wrong_output_length = "%s holds %zu values; expected %zu";

// The chain reader's layout and outputs.
inline constexpr const char* rows_changed = "the chain's rows changed while being read";
inline constexpr const char* not_texts = "%s must be a tuple of texts";
inline constexpr const char* not_only_texts = "%s must hold texts only";
inline constexpr const char* too_many_side_keys = "side_keys may name at most %zd keys";
inline constexpr const char* side_codes_count = "side_codes must hold one code per side key";
inline constexpr const char* side_codes_not_ints = "side_codes must hold ints";
inline constexpr const char* kinds_not_codes = "kinds must map texts to int codes";
inline constexpr const char* day_number_not_callable = "day_number must be callable";
inline constexpr const char* rows_not_list = "rows must be a list";
inline constexpr const char* reader_outputs =
    "the output columns must hold one entry per leg (values: one per key, origin: two)";

// The chain pricing.
inline constexpr const char* leg_columns = "every leg column must hold one entry per leg";

// Positions.
inline constexpr const char* leg_column_length = "%s holds %zu values; expected one per leg (%zu)";
inline constexpr const char* too_many_legs = "a position may hold at most %zu legs, not %zu";
inline constexpr const char* grid_length = "out must hold one value per spot, day and shift";

}  // namespace greeks::vector::messages
