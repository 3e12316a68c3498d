"""Watch directory trees and read their changes as typed, filtered batches."""
