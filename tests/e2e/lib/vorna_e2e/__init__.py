"""End-to-end test helpers: the agent under Wine, driven by vorna_driver, against the test
access server. Standard library only."""
