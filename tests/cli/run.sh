#!/bin/sh
# Runs the tool with standard error merged and appends its exit status, so
# one output regex can check both what it said and how it ended.
"$@" 2>&1
echo "exit=$?"
