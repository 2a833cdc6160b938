"""Platform abstractions."""
