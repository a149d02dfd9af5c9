// Keeps the library non-empty until its first unit lands.
namespace vx { int database_placeholder = 0; }
