"""Platform-independent pieces shared across the application."""
