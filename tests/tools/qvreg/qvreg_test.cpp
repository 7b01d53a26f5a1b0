// End-to-end cases of the qvreg tool over real hives.
