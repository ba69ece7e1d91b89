"""Training-side mirror of the echo-cancellation network."""
