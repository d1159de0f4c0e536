"""Virtual token: a software stand-in for the token's card, reached through vpcd."""
