"""Market data for attribution: returns, prices, calendars, classifications."""
